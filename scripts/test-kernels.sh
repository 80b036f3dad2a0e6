#!/usr/bin/env bash
# Builds and runs the kernel tests (tests/kernels, GoogleTest): every instruction-set path's
# kernels, compiled into one program, against the portable path and the documented rules; paths
# this CPU cannot run are skipped. Installs Debian's GoogleTest where it is missing (as root).
# With --sanitize, builds and runs them under ASan and UBSan (in a build directory of their own).
# CMake and Ninja come from PATH: the test command puts the venv's first, which has both.
# Usage: scripts/test-kernels.sh [--sanitize]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
if [[ ! -f /usr/include/gtest/gtest.h ]]; then
    if [[ $EUID -ne 0 ]]; then
        echo "test-kernels: GoogleTest (Debian's libgtest-dev) is not installed and this is not root; skipped" >&2
        exit 0
    fi
    echo "test-kernels: installing libgtest-dev" >&2
    apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q libgtest-dev >&2
fi
for tool in cmake ninja; do
    command -v "$tool" >/dev/null || { echo "test-kernels: $tool not found on PATH" >&2; exit 1; }
done
build=build/kernel-tests
flags=(-DMORLA_BUILD_MODULE=OFF -DMORLA_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release)
if [[ ${1:-} == --sanitize ]]; then
    build=build/kernel-tests-sanitize
    flags+=(-DMORLA_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo)
fi
cmake -S . -B "$build" -G Ninja "${flags[@]}" >/dev/null
cmake --build "$build" >&2
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 600
