#!/usr/bin/env bash
# Sets up a fresh machine and runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
"${PYTHON:-python3}" examples/demo.py
