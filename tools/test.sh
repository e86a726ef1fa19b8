#!/usr/bin/env bash
# Installs the package with its test extras from this checkout and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
python3 -m pip install --quiet ".[test]"
python3 -m pytest "$@"
