#!/usr/bin/env bash
# The formatting and lint checks, each over the whole tree: clang-format over
# the C++ (.clang-format), ruff's lint and format checks over the Python
# (pyproject.toml), and mypy --strict over the Python packages that ship in the
# wheel beside the extension modules (the orbisk command, and the companion
# module's Python code when it is there). Any finding fails the run; to mend
# the formatting, run `clang-format -i FILE...` and `.venv/bin/ruff format`.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh lint

echo "== clang-format"
find src tests bench \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' \) -print0 | sort -z |
    xargs -0 clang-format --dry-run --Werror

echo "== ruff"
.venv/bin/ruff check --quiet .
.venv/bin/ruff format --check --quiet .

echo "== mypy --strict"
packages=(src/orbisk_cli)
if [ -d src/orbisk_columnar ]; then packages+=(src/orbisk_columnar); fi
# The extension modules' stubs are read from the source tree, so that the check
# needs no build.
MYPYPATH=src/python .venv/bin/python -m mypy --strict --no-error-summary "${packages[@]}"
