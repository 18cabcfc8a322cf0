#!/usr/bin/env bash
# Installs what building and testing orbisk needs on a fresh Debian machine:
# the libdeflate headers (Debian) and the Python build and test tools (PyPI).
set -euo pipefail

if ! dpkg-query -W -f='${Status}' libdeflate-dev 2>/dev/null | grep -q "install ok installed"; then
    sudo_cmd=""
    if [ "$(id -u)" -ne 0 ]; then sudo_cmd="sudo"; fi
    $sudo_cmd apt-get install -y -q libdeflate-dev || {
        $sudo_cmd apt-get update -q && $sudo_cmd apt-get install -y -q libdeflate-dev
    }
fi

if ! command -v cmake >/dev/null 2>&1 || ! command -v ninja >/dev/null 2>&1; then
    python3 -m pip install -q --root-user-action=ignore cmake ninja
fi
python3 -m pip install -q --root-user-action=ignore "scikit-build-core>=0.9" pytest hypothesis
