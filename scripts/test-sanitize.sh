#!/usr/bin/env bash
# Runs the whole test suite against an ASan+UBSan build of morla_core (built into a directory of
# its own; the venv keeps the normal build). Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
PY="$(bash scripts/bootstrap.sh | tail -n 1)"
target=$(bash scripts/build-variant.sh "$PY" sanitize \
    --config-settings=cmake.define.MORLA_SANITIZE=ON \
    --config-settings=cmake.build-type=RelWithDebInfo)  # -g, and not stripped
asan="$(g++ -print-file-name=libasan.so)"
ubsan="$(g++ -print-file-name=libubsan.so)"
[[ -f $asan && -f $ubsan ]] || { echo "test-sanitize.sh: libasan/libubsan not found" >&2; exit 1; }
rc=0
# CPython itself leaks at exit, so leak detection is off; a failed allocation must return null
# (the module turns it into MemoryError). Freed memory waits in a quarantine of 32 MB, not the
# default 256 MB: the leak test's warm-up must fill it, or the process's RSS still grows by what
# the quarantine takes in while the test measures it. --capture=sys leaves fd 2 alone so a
# sanitizer report that ends the process still reaches the terminal.
PYTHONPATH="$target" LD_PRELOAD="$asan:$ubsan" \
    ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:quarantine_size_mb=32 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$PY" -m pytest -q -p no:cacheprovider --capture=sys tests "$@" || rc=$?
if ((rc == 5)); then
    echo "test-sanitize.sh: pytest collected no tests" >&2
    exit 1
fi
exit "$rc"
