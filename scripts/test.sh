#!/usr/bin/env bash
# Builds orbisk, installs it into .venv, and runs the whole test suite: the
# formatting and lint checks (scripts/lint.sh), the engine's C++ unit tests,
# then pytest against the installed module, with the wheel of scripts/wheel.sh
# built once for the tests that install it elsewhere.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh test
bash scripts/lint.sh
bash scripts/install.sh
if ! ORBISK_WHEEL="$(bash scripts/wheel.sh 2>build/wheel.log | tail -n 1)"; then
    cat build/wheel.log >&2
    exit 1
fi
export ORBISK_WHEEL

cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DPython_EXECUTABLE="$PWD/.venv/bin/python" \
      -DORBISK_BUILD_TESTS=ON -DORBISK_BUILD_MODULE=OFF ${ORBISK_CMAKE_ARGS:-} >/dev/null
cmake --build build/tests -j2
build/tests/orbisk_engine_tests

ORBISK_PROBE_DIR="$PWD/build/tests/probe" .venv/bin/python -m pytest -q tests "$@"
