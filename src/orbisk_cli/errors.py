"""The one error type of the command: its text is the line the user sees."""


class CliError(Exception):
    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status
