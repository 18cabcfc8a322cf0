"""The wheel of scripts/wheel.sh stands alone, and a build from source without
libdeflate says what to install.

Both run in a mount namespace in which the machine's own libdeflate (its
library, and for the build its header) is covered by an empty file, so that
nothing but a copy inside the wheel can be loaded. In that namespace the
module of the project's venv, which links the machine's copy, does not even
import: the cover works. The wheel is the one scripts/test.sh built for this
run (ORBISK_WHEEL), or else one built here."""

import glob
import os
import re
import shlex
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
VENV_BIN = Path(sys.executable).parent


@pytest.fixture(scope="session")
def wheel():
    path = os.environ.get("ORBISK_WHEEL")
    if not path:
        built = subprocess.run(
            ["bash", str(ROOT / "scripts" / "wheel.sh")], capture_output=True, text=True, check=True, cwd=ROOT
        )
        path = built.stdout.split()[-1]
    return (ROOT / path).resolve()


def run_covered(paths, command, tmp_path, **kw):
    """Runs `command` where each of `paths` is covered by an empty file."""
    empty = tmp_path / "empty"
    empty.write_bytes(b"")
    mounts = "".join(f"mount --bind {shlex.quote(str(empty))} {shlex.quote(p)} && " for p in paths)
    namespace = ["unshare", "-m"] if os.geteuid() == 0 else ["unshare", "-r", "-m"]
    return subprocess.run(
        [*namespace, "sh", "-c", mounts + 'exec "$@"', "sh", *map(str, command)], capture_output=True, text=True, **kw
    )


def machine_libdeflate(with_build_files):
    """The machine's libdeflate files (links resolved): the shared library, and
    with `with_build_files` also the header and every library file a build could link."""
    found = set()
    loader = subprocess.run(["ldconfig", "-p"], capture_output=True, text=True, check=True).stdout
    found |= {os.path.realpath(p) for p in re.findall(r"libdeflate\.so\.\d+ \(.*\) => (\S+)", loader)}
    if with_build_files:
        patterns = ["/usr/include/libdeflate.h", "/usr/local/include/libdeflate.h"]
        arch = subprocess.run(["gcc", "-print-multiarch"], capture_output=True, text=True).stdout.strip()
        for d in ("/usr/lib", "/usr/local/lib", "/usr/lib64", "/lib", "/lib64"):
            patterns += [f"{d}/libdeflate.*", f"{d}/{arch}/libdeflate.*"]
        for pattern in patterns:
            found |= {os.path.realpath(p) for p in glob.glob(pattern)}
    assert found, "this machine has no libdeflate to cover"
    return sorted(p for p in found if os.path.isfile(p))


def test_wheel_is_manylinux_and_carries_the_command_the_stub_and_libdeflate(wheel):
    tag = re.fullmatch(r"orbisk-[^-]+-cp310-abi3-(manylinux_2_\d+_x86_64)\.whl", wheel.name)
    assert tag, wheel.name
    shown = subprocess.run([VENV_BIN / "auditwheel", "show", wheel], capture_output=True, text=True, check=True)
    text = " ".join(shown.stdout.split())
    assert f'is consistent with the following platform tag: "{tag[1]}"' in text
    # Only the C and C++ runtimes of the manylinux baseline come from the system.
    system = text.partition("system-provided shared libraries:")[2]
    assert "libdeflate" not in system
    with zipfile.ZipFile(wheel) as z:
        names = set(z.namelist())
        entry_points = z.read(next(n for n in names if n.endswith(".dist-info/entry_points.txt"))).decode()
    assert {"orbisk.abi3.so", "orbisk.pyi", "orbisk-stubs/__init__.pyi", "orbisk_cli/main.py"} <= names
    assert any(re.fullmatch(r"orbisk\.libs/libdeflate-[0-9a-f]+\.so\.\d+", n) for n in names)
    assert "orbisk = orbisk_cli.main:main" in entry_points


SMOKE = """
import sys
import orbisk
from orbisk import PyZurAD

assert orbisk.__file__.startswith(sys.prefix), orbisk.__file__
path = sys.argv[1]
db = PyZurAD(path)
assert db.insert_batch([(48.8566, 2.3522, {"name": "Paris"}), (51.5072, -0.1276, {"name": "London"})]) == [0, 1]
assert db.insert(40.4168, -3.7038, {"name": "Madrid", "tags": ["capital"]}) == 2
assert sorted(r["metadata"]["name"] for r in db.query_radius(48.8566, 2.3522, 400_000)) == ["London", "Paris"]
assert [r["id"] for r in db.query({"tags": {"$in": ["capital"]}})] == [2]
del db
db = PyZurAD(path)
assert db.len() == 3 and db.query_bbox(40, -4, 41, -3)[0]["metadata"]["name"] == "Madrid"
assert db.verify_integrity(flush=True) == {"ok": True, "errors": []}
del db
# Every extension module of the wheel loads and reads the store.
import orbisk_columnar

assert orbisk_columnar.__file__.startswith(sys.prefix), orbisk_columnar.__file__
with orbisk_columnar.ColumnarStore(path, read_only=True) as store:
    assert len(store) == 3
# The libdeflate in use is the wheel's own.
maps = [line.split()[-1] for line in open("/proc/self/maps") if "libdeflate" in line]
assert maps and all(p.startswith(sys.prefix) for p in maps), maps
print("smoke ok")
"""


def test_wheel_works_in_a_fresh_venv_without_the_machines_libdeflate(wheel, tmp_path):
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", venv], check=True)
    fresh = venv / "bin" / "python"
    subprocess.run(
        [sys.executable, "-m", "pip", "--python", fresh, "install", "-q", "--no-index", "--no-deps", wheel],
        check=True,
        capture_output=True,
    )
    (tmp_path / "smoke.py").write_text(SMOKE)
    covered = machine_libdeflate(with_build_files=False)
    store = tmp_path / "store" / "places.db"
    store.parent.mkdir()

    smoke = run_covered(covered, [fresh, "-I", tmp_path / "smoke.py", store], tmp_path, cwd=tmp_path)
    assert smoke.returncode == 0 and smoke.stdout == "smoke ok\n", smoke.stderr
    stats = run_covered(covered, [venv / "bin" / "orbisk", "stats", store], tmp_path, cwd=tmp_path)
    assert stats.returncode == 0 and re.search(r"^points +3$", stats.stdout, re.M), stats.stderr
    control = run_covered(covered, [sys.executable, "-I", "-c", "import orbisk"], tmp_path, cwd=tmp_path)
    assert control.returncode != 0 and "libdeflate" in control.stderr


def test_source_build_without_libdeflate_says_what_to_install(tmp_path):
    configure = [VENV_BIN / "cmake", "-S", ROOT, "-B", tmp_path / "build", "-G", "Ninja", "-DORBISK_BUILD_MODULE=OFF"]
    env = dict(os.environ, PATH=f"{VENV_BIN}{os.pathsep}{os.environ['PATH']}")
    result = run_covered(machine_libdeflate(with_build_files=True), configure, tmp_path, env=env)
    output = result.stdout + result.stderr
    assert result.returncode != 0
    lines = [line.strip() for line in output.splitlines()]
    for line in [
        "orbisk needs libdeflate to build from source, and it was not found.",
        "Debian, Ubuntu:  sudo apt-get install libdeflate-dev",
        "Fedora:          sudo dnf install libdeflate-devel",
        "macOS:           brew install libdeflate",
    ]:
        assert line in lines, output
    assert "Call Stack" not in output and "LIBDEFLATE_" not in output, output
