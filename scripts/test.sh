#!/usr/bin/env bash
# The project's test command: sets everything up (scripts/bootstrap.sh), then runs the tests.
# Extra arguments go to pytest. "No tests collected" counts as a failure. Then the engine
# tests run again on each instruction-set path (scripts/test-paths.sh).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
PY="$(bash scripts/bootstrap.sh | tail -n 1)"
rc=0
"$PY" -m pytest -q tests "$@" || rc=$?
if ((rc == 5)); then
    echo "test.sh: pytest collected no tests" >&2
    exit 1
fi
((rc == 0)) || exit "$rc"
# The same engine tests on every instruction-set path this CPU can run.
bash scripts/test-paths.sh "$PY" "$@"
