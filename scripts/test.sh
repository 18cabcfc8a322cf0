#!/usr/bin/env bash
# Builds orbisk, installs it into .venv, and runs the whole test suite: the
# engine's C++ unit tests, then pytest against the installed module.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh test
bash scripts/install.sh

cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DPython_EXECUTABLE="$PWD/.venv/bin/python" \
      -DORBISK_BUILD_TESTS=ON -DORBISK_BUILD_MODULE=OFF ${ORBISK_CMAKE_ARGS:-} >/dev/null
cmake --build build/tests -j2
build/tests/orbisk_engine_tests

ORBISK_PROBE_DIR="$PWD/build/tests/probe" .venv/bin/python -m pytest -q tests "$@"
