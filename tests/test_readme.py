"""Every Python block of the README runs as it is written, in a fresh folder,
against the installed module, and prints what its comments say it prints."""

import json
import re
import subprocess
import sys
from pathlib import Path

README = Path(__file__).parent.parent / "README.md"

# Runs a block with print recording the line it was called from and what it wrote.
RUNNER = """
import builtins, json, sys
printed = []
write = builtins.print
def recording(*args, **kwargs):
    frame = sys._getframe(1)
    if frame.f_code.co_filename == "<README block>":
        printed.append((frame.f_lineno, kwargs.get("sep", " ").join(map(str, args))))
    write(*args, **kwargs)
builtins.print = recording
source = open(sys.argv[1], encoding="utf-8").read()
exec(compile(source, "<README block>", "exec"), {"__name__": "__main__"})
with open(sys.argv[2], "w") as f:
    json.dump(printed, f)
"""


def python_blocks():
    return re.findall(r"^```python\n(.*?)^```$", README.read_text(encoding="utf-8"), re.M | re.S)


def said(lines, number):
    """What the comments say line `number` (from 1) prints: its own comment, or
    a comment line of its own right after it; None when they say nothing."""
    line = lines[number - 1]
    if "#" in line and not line.lstrip().startswith("#"):
        return line.split("#", 1)[1].strip()
    if number < len(lines) and lines[number].lstrip().startswith("#"):
        return lines[number].split("#", 1)[1].strip()
    return None


def test_every_python_block_of_the_readme_runs_and_prints_what_it_says(tmp_path):
    blocks = python_blocks()
    assert blocks, "the README has no Python block"
    for i, block in enumerate(blocks):
        folder = tmp_path / f"block{i}"
        folder.mkdir()
        (folder / "block.py").write_text(block, encoding="utf-8")
        (folder / "runner.py").write_text(RUNNER, encoding="utf-8")
        r = subprocess.run(
            [sys.executable, "runner.py", "block.py", "printed.json"],
            cwd=folder,
            capture_output=True,
            text=True,
            timeout=120,
        )
        assert r.returncode == 0, f"block {i}:\n{block}\n{r.stderr}"
        lines = block.splitlines()
        for number, text in json.loads((folder / "printed.json").read_text()):
            comment = said(lines, number)
            if comment is not None:  # the comment starts with the output, then a space, a colon or nothing
                assert re.match(re.escape(text) + r"(?:$|[ :])", comment), (i, lines[number - 1], text)
