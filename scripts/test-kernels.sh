#!/usr/bin/env bash
# Builds and runs the kernel tests (tests/kernels, GoogleTest): every instruction-set path's
# kernels, compiled into one program, against the portable path and the documented rules; paths
# this CPU cannot run are skipped. Installs Debian's GoogleTest where it is missing (as root).
# With --sanitize, builds and runs them under ASan and UBSan (in a build directory of their own).
# The build's and ctest's output go to a log in the build directory, shown when a step fails.
# CMake and Ninja come from PATH: the test command puts the venv's first, which has both.
# Usage: scripts/test-kernels.sh [--sanitize]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
# Says why the kernel tests are skipped and succeeds (the test command reads the reason from
# MORLA_STAGE_SKIP_FILE).
skip() {
    echo "$*" >"${MORLA_STAGE_SKIP_FILE:-/dev/null}"
    echo "test-kernels: skipped: $*" >&2
    exit 0
}
build=build/kernel-tests
flags=(-DMORLA_BUILD_MODULE=OFF -DMORLA_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release)
if [[ ${1:-} == --sanitize ]]; then
    # Under the sanitizers narrowing is checked on a strided subset of the float32 patterns:
    # the normal build checks all of them.
    export MORLA_NARROWING_STRIDE=251
    build=build/kernel-tests-sanitize
    flags+=(-DMORLA_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo)
fi
mkdir -p "$build"
log="$build/test-kernels.log"
: >"$log"
# run_logged WHAT COMMAND...: COMMAND's output goes to the log, and is shown when it fails; while
# it runs, a line every 30 s says so.
run_logged() {
    local what="$1"
    shift
    if ! bash scripts/heartbeat.sh --log "$log" "test-kernels: $what" "$@"; then
        # The first errors (a compiler's come first), then the end.
        grep -m 10 -E 'error|FAILED|Failed' "$log" >&2 || true
        echo "..." >&2
        tail -n 40 "$log" >&2
        echo "test-kernels: $what failed (log: $log)" >&2
        exit 1
    fi
}
if [[ ! -f /usr/include/gtest/gtest.h ]]; then
    [[ $EUID -eq 0 ]] || skip "GoogleTest (Debian's libgtest-dev) is not installed and this is not root"
    echo "test-kernels: installing libgtest-dev" >&2
    run_logged "installing libgtest-dev" apt-get update -qq
    run_logged "installing libgtest-dev" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q libgtest-dev
fi
for tool in cmake ninja; do
    command -v "$tool" >/dev/null || { echo "test-kernels: $tool not found on PATH" >&2; exit 1; }
done
run_logged "configuring $build" cmake -S . -B "$build" -G Ninja "${flags[@]}"
run_logged "building $build" cmake --build "$build"
run_logged "ctest" env ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 600
echo "test-kernels: $(grep -m 1 -o '[0-9]*% tests passed.*' "$log") ($build)" >&2
