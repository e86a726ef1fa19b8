#!/usr/bin/env bash
# Finds the interpreter that PYTHON names (default python3) and hands it tools/devenv.py.
# Usage: bash tools/devenv.sh run|test [ARGUMENTS]; tools/run.sh and tools/test.sh call it.
set -euo pipefail
command=${1:?usage: devenv.sh run|test [ARGUMENTS]}
shift
prog="tools/$command.sh"
python=${PYTHON:-python3}
if ! command -v "$python" >/dev/null 2>&1 || ! "$python" -c '' >/dev/null 2>&1; then
    echo "$prog: no working Python interpreter '$python' (set PYTHON to one, e.g. PYTHON=/usr/bin/python3)" >&2
    exit 1
fi
NERIT_DEVENV_PROG=$prog exec "$python" "$(dirname "$0")/devenv.py" "$command" "$@"
