#!/usr/bin/env bash
# Builds and installs orbisk into .venv, then runs a short demo on a temporary store.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh demo
bash scripts/install.sh
.venv/bin/python examples/demo.py
