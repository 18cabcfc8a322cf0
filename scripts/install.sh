#!/usr/bin/env bash
# Builds orbisk and installs it into .venv. The build tree (build/<wheel tag>)
# is kept between runs and pip builds without isolation, so a second run
# recompiles only what changed.
set -euo pipefail
cd "$(dirname "$0")/.."
.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps .
