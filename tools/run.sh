#!/usr/bin/env bash
# Shows the sample log through nerit-events from the checkout's virtual environment (.venv),
# installing the package there first when its sources changed. Arguments go to nerit-events.
exec bash "$(dirname "$0")/devenv.sh" run "$@"
