#!/usr/bin/env bash
# Runs COMMAND and, while it runs, says on stderr every 30 s that LABEL still runs and for how
# long, so that no long step is silent. With --log FILE, COMMAND's output is appended to FILE.
# Exits with COMMAND's status.
# Usage: scripts/heartbeat.sh [--log FILE] LABEL COMMAND...
set -euo pipefail
log=""
if [[ ${1:-} == --log ]]; then
    log="${2:?usage: scripts/heartbeat.sh [--log FILE] LABEL COMMAND...}"
    shift 2
fi
(($# >= 2)) || { echo "usage: scripts/heartbeat.sh [--log FILE] LABEL COMMAND..." >&2; exit 2; }
label="$1"
shift
start=$SECONDS
# The heartbeat keeps no descriptor but stderr (not a lock, not its caller's captured output),
# takes its sleep along when stopped, and stops by itself should this script die first.
(
    for fd in /proc/"$BASHPID"/fd/*; do
        fd="${fd##*/}"
        ((fd <= 2)) || eval "exec $fd>&-"
    done
    exec </dev/null >&2
    trap 'kill "$sleeper" 2>/dev/null; exit 0' TERM
    while true; do
        sleep 30 &
        sleeper=$!
        wait "$sleeper"
        kill -0 $$ 2>/dev/null || exit 0
        echo "$label: $((SECONDS - start)) s so far" >&2
    done
) &
beat=$!
rc=0
if [[ -n $log ]]; then
    "$@" >>"$log" 2>&1 || rc=$?
else
    "$@" || rc=$?
fi
kill "$beat" 2>/dev/null || true
wait "$beat" 2>/dev/null || true
exit "$rc"
