#!/usr/bin/env bash
# Builds the wheel to hand to anyone: the abi3 wheel of this checkout, repaired
# by auditwheel (with patchelf) into a manylinux wheel that carries the shared
# libraries its extension modules need beyond the manylinux baseline
# (libdeflate), whichever extension modules it holds. The wheel lands in dist/
# (older orbisk wheels there are removed) and its path is printed last.
#
# The build reuses build/<wheel tag>, as scripts/install.sh does, so after an
# install only the packing is done again.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh wheel >&2

raw=build/wheel-raw
rm -rf "$raw"
mkdir -p "$raw" dist
.venv/bin/python -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps -w "$raw" . >&2
built=("$raw"/orbisk-*.whl)
rm -f dist/orbisk-*.whl
# The platform tag is the most widely compatible one the wheel's symbols allow.
PATH="$PWD/.venv/bin:$PATH" .venv/bin/auditwheel repair -w dist "${built[0]}" >&2
repaired=(dist/orbisk-*.whl)
.venv/bin/auditwheel show "${repaired[0]}" >&2
echo "${repaired[0]}"
