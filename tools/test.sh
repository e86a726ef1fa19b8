#!/usr/bin/env bash
# Runs the whole test suite in the checkout's virtual environment (.venv), installing the package
# there first when its sources changed. PYTHON picks the interpreter; arguments go to pytest.
exec bash "$(dirname "$0")/devenv.sh" test "$@"
