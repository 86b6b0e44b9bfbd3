#!/usr/bin/env bash
# The whole road once on embedded defaults (see scripts/demo.py).
set -euo pipefail
cd "$(dirname "$0")/.."
exec python3 scripts/demo.py "${1:-build}"
