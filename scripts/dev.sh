#!/usr/bin/env bash
# The inner loop: an incremental build of the module and the kernel tests into build/dev (CMake
# and Ninja; nothing is installed), the Python suite against that build with the short stress,
# fuzz and leak loops, then the kernel tests. The venv comes from scripts/bootstrap.sh, once.
# Extra arguments go to pytest (e.g. `scripts/dev.sh tests/engine -k matmul`); with any, the
# kernel tests run only when `--kernels` is among them.
# Environment: MORLA_DEV_BUILD_TYPE (default Release).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
CACHE="${MORLA_CACHE:-$HOME/.cache/morla}"
start=$SECONDS
say() { echo "dev: $*" >&2; }

PY="$CACHE/venv-3.14t/bin/python"
# The venv's packages are recorded once installed; until then, set up (once).
if [[ ! -x $PY || ! -f $CACHE/venv-3.14t/.requirements ]]; then
    say "no complete venv yet: setting up with scripts/bootstrap.sh (once)"
    PY="$(bash scripts/bootstrap.sh | tail -n 1)"
fi
VENV_BIN="$(dirname "$PY")"
export PATH="$VENV_BIN:$PATH"

kernels=auto
pytest_args=()
for arg in "$@"; do
    if [[ $arg == --kernels ]]; then kernels=yes; else pytest_args+=("$arg"); fi
done
if [[ $kernels == auto ]]; then
    if ((${#pytest_args[@]})); then kernels=no; else kernels=yes; fi
fi
[[ $kernels == yes && ! -f /usr/include/gtest/gtest.h ]] && {
    say "GoogleTest is not installed (Debian's libgtest-dev; scripts/test-kernels.sh installs it): kernel tests skipped"
    kernels=no
}

build=build/dev
tests_flag=OFF targets=(--target morla_core)
[[ $kernels == yes ]] && tests_flag=ON targets=()
build_type="${MORLA_DEV_BUILD_TYPE:-Release}"
cached() { grep -qx "$1" "$build/CMakeCache.txt" 2>/dev/null; }
# Configured once; again when the build type or the interpreter changed, or when the kernel
# tests are wanted from a build without them.
if [[ ! -f $build/build.ninja ]] || ! cached "CMAKE_BUILD_TYPE:STRING=$build_type" ||
    ! cached "_Python_EXECUTABLE:INTERNAL=$PY" ||
    { [[ $tests_flag == ON ]] && ! cached "MORLA_BUILD_TESTS:BOOL=ON"; }; then
    mkdir -p "$build"
    say "configuring $build ($build_type)"
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="$build_type" -U 'Python_*' -U '_Python_*' \
        -DPython_EXECUTABLE="$PY" -DMORLA_BUILD_TESTS="$tests_flag" -DMORLA_WERROR=ON >"$build/configure.log" 2>&1 ||
        { cat "$build/configure.log" >&2; say "configuring failed"; exit 1; }
fi
t=$SECONDS
log="$build/build.log"
# Warnings are errors here; the compiler's output is shown only when the build fails.
if ! cmake --build "$build" "${targets[@]}" >"$log" 2>&1; then
    grep -v '^\[[0-9]*/[0-9]*\] ' "$log" >&2
    say "the build failed (log: $log)"
    exit 1
fi
say "built in $((SECONDS - t)) s ($(grep -c '^\[[0-9]*/[0-9]*\] Building' "$log" || true) files compiled)"

# The freshly built extension first, the package from the source tree beside it.
module="$(ls -t "$build"/morla_core*.so | head -n 1)"
export PYTHONPATH="$PWD/$build:$PWD/python"
"$PY" -c 'import morla_core, os, sys; sys.exit(os.path.realpath(morla_core.__file__) != os.path.realpath(sys.argv[1]))' \
    "$module" || { say "$PY does not load $module (built for another interpreter?): remove $build and run again"; exit 1; }
t=$SECONDS
say "the Python suite against $module (short stress, fuzz and leak loops)"
rc=0
plugins=(-p no:cacheprovider)  # the thread-parallel plugin only where asked for (it is noisy)
[[ " ${pytest_args[*]-} " == *parallel* ]] || plugins+=(-p no:run-parallel)
MORLA_STRESS_SECONDS=1 MORLA_FUZZ_EXAMPLES=30 \
    MORLA_LEAK_ITERATIONS=5000 "$PY" -m pytest -q "${plugins[@]}" \
    "${pytest_args[@]:-tests}" || rc=$?
((rc != 5)) || { say "pytest selected no tests"; exit 5; }
((rc == 0)) || { say "the Python suite failed"; exit "$rc"; }
say "the Python suite passed in $((SECONDS - t)) s"

if [[ $kernels == yes ]]; then
    t=$SECONDS
    log="$build/ctest.log"
    # Narrowing is checked on a strided subset of the float32 patterns here (every pattern of
    # the exponents where the rules change); the test command checks all of them.
    if MORLA_NARROWING_STRIDE=251 ctest --test-dir "$build" -j"$(nproc)" --output-on-failure --timeout 600 >"$log" 2>&1; then
        say "the kernel tests passed in $((SECONDS - t)) s ($(grep -m1 -o '[0-9]*% tests passed.*' "$log" || echo "see $log"))"
    else
        cat "$log" >&2
        say "the kernel tests failed"
        exit 1
    fi
fi
say "all passed in $((SECONDS - start)) s"
