#!/usr/bin/env bash
# Builds and installs orbisk, then runs a short demo on a temporary store.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
python3 -m pip install -q --root-user-action=ignore .
python3 examples/demo.py
