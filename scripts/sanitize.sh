#!/usr/bin/env bash
# The sanitizer runs (not part of scripts/test.sh: they take several times as
# long). First clang's thread-safety analysis over the engine, which checks the
# locking contracts written on the declarations (GUARDED_BY, REQUIRES, ...,
# util/thread_annotations.hpp); then the engine's C++ tests, the
# threads-through-shared-handles case among them, under ThreadSanitizer; then
# the module and the probe built with AddressSanitizer and
# UndefinedBehaviorSanitizer, and the whole Python suite run against them
# (extra arguments go to pytest). Build trees: build/tsan and build/asan; the
# installed module of the venv is not touched.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
# Debian's clang 19: older ones cannot read libstdc++ 12's <expected>.
if ! command -v clang++-19 >/dev/null; then
    sudo_cmd=""
    if [ "$(id -u)" -ne 0 ]; then sudo_cmd="sudo"; fi
    $sudo_cmd apt-get install -y -q --no-install-recommends clang-19 || {
        $sudo_cmd apt-get update -q && $sudo_cmd apt-get install -y -q --no-install-recommends clang-19
    }
fi

echo "== clang -Wthread-safety: engine"
# Syntax only: the engine is built by GCC. libstdc++'s own deprecations are not ours.
find src/engine -name '*.cpp' -print0 | sort -z | xargs -0 -n 1 -P 2 \
    clang++-19 -std=c++23 -fsyntax-only -Isrc -DORBISK_FAULT_INJECTION -DORBISK_DEBUG_CHECKS \
    -Werror -Wthread-safety -Wthread-safety-beta -Wno-deprecated-declarations

echo "== ThreadSanitizer: engine tests"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORBISK_BUILD_TESTS=ON \
      -DPython_EXECUTABLE="$PWD/.venv/bin/python" \
      -DORBISK_BUILD_MODULE=OFF -DCMAKE_CXX_FLAGS="-fsanitize=thread" \
      -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=thread" >/dev/null
cmake --build build/tsan -j2 --target orbisk_engine_tests
# Some ThreadSanitizer runtimes cannot start under a randomised address space.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" setarch "$(uname -m)" -R build/tsan/orbisk_engine_tests

echo "== AddressSanitizer + UndefinedBehaviorSanitizer: module and Python suite"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORBISK_SANITIZE=ON \
      -DPython_EXECUTABLE="$PWD/.venv/bin/python" -DORBISK_BUILD_TESTS=ON -DORBISK_BUILD_MODULE=ON >/dev/null
cmake --build build/asan -j2 --target orbisk _orbisk_probe
mkdir -p build/asan/site
cp build/asan/orbisk*.so build/asan/site/
cp -r src/orbisk_cli build/asan/site/
cp src/python/orbisk.pyi build/asan/site/
# CPython is not built with ASan: its allocator's leaks at exit are not ours,
# so leak detection is off; every other finding ends the run.
export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
# The wheel's test builds and checks the release wheel, not this build.
PYTHONPATH="$PWD/build/asan/site" ORBISK_PROBE_DIR="$PWD/build/asan/probe" \
    .venv/bin/python -m pytest -q -p no:cacheprovider --ignore=tests/test_wheel.py tests "$@"
