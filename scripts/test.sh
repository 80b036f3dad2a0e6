#!/usr/bin/env bash
# The project's test command: sets everything up (scripts/bootstrap.sh), then runs the tests.
# Extra arguments go to pytest. "No tests collected" counts as a failure.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
PY="$(bash scripts/bootstrap.sh | tail -n 1)"
rc=0
"$PY" -m pytest -q tests "$@" || rc=$?
if ((rc == 5)); then
    echo "test.sh: pytest collected no tests" >&2
    exit 1
fi
exit "$rc"
