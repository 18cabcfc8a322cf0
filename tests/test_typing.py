"""The installed type stub: it matches the extension, and both type checkers
accept a program that uses every method and flag each wrong call."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).parent / "typing"
WRONG = HERE / "wrong_calls.py"


def run(args, cwd):
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, capture_output=True, text=True, timeout=600)


def wrong_lines():
    return {n for n, line in enumerate(WRONG.read_text().splitlines(), 1) if "# wrong:" in line}


def test_stub_matches_the_extension(tmp_path):
    r = run(["mypy.stubtest", "orbisk", "--mypy-config-file", str(tmp_path / "none.ini")], tmp_path)
    assert r.returncode == 0, r.stdout + r.stderr


@pytest.mark.parametrize("checker", ["mypy", "pyright"])
def test_checkers_accept_every_method_and_flag_each_wrong_call(tmp_path, checker):
    if checker == "mypy":
        base = ["mypy", "--strict", "--cache-dir", str(tmp_path / "cache")]
        error = re.compile(r"^[^:]*wrong_calls\.py:(\d+): error")
    else:
        base = ["pyright", "--pythonpath", sys.executable]
        error = re.compile(r"wrong_calls\.py:(\d+):\d+ - error")
    good = run([*base, str(HERE / "uses_every_method.py")], tmp_path)
    assert good.returncode == 0, good.stdout + good.stderr
    bad = run([*base, str(WRONG)], tmp_path)
    flagged = {int(m.group(1)) for line in bad.stdout.splitlines() if (m := error.search(line))}
    assert flagged == wrong_lines(), bad.stdout


def test_the_companion_stub_matches_its_module_and_mypy_accepts_a_program_using_it(tmp_path):
    r = run(["mypy.stubtest", "orbisk_columnar._columnar", "--mypy-config-file", str(tmp_path / "none.ini")], tmp_path)
    assert r.returncode == 0, r.stdout + r.stderr
    r = run(["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(HERE / "uses_columnar.py")], tmp_path)
    assert r.returncode == 0, r.stdout + r.stderr


def test_the_command_passes_mypy_strict(tmp_path):
    root = HERE.parent.parent
    r = run(["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), "src/orbisk_cli"], root)
    assert r.returncode == 0, r.stdout + r.stderr
