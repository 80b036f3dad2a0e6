#!/usr/bin/env bash
# Builds the module for a CPython with the GIL (3.13, as the machine provides it: $GIL_PYTHON,
# python3.13 on PATH, or pyenv's) in a venv of its own and runs the whole suite there. Without
# such an interpreter it says so and succeeds. Extra arguments go to pytest.
# `test-gil.sh --venv` only sets up the venv and prints its python (nothing without an interpreter).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
CACHE="${MORLA_CACHE:-$HOME/.cache/morla}"
candidates=("${GIL_PYTHON:-}" "$(command -v python3.13 || true)" "$HOME"/.pyenv/versions/3.13*/bin/python3.13)
BASE=""
for candidate in "${candidates[@]}"; do
    if [[ -n $candidate && -x $candidate ]] &&
        "$candidate" -c 'import sys; assert sys.version_info[:2] == (3, 13) and sys._is_gil_enabled()' 2>/dev/null; then
        BASE="$candidate"
        break
    fi
done
venv_only=false
[[ ${1:-} == --venv ]] && { venv_only=true; shift; }
if [[ -z $BASE ]]; then
    # The test command reads why from MORLA_STAGE_SKIP_FILE.
    $venv_only || echo "no CPython 3.13 with the GIL on this machine" >"${MORLA_STAGE_SKIP_FILE:-/dev/null}"
    echo "test-gil.sh: no CPython 3.13 with the GIL on this machine; skipped" >&2
    exit 0
fi
VENV="$CACHE/venv-3.13"
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore
requirements=("numpy>=2" ml_dtypes pytest hypothesis "scikit-build-core>=0.10" "cmake>=3.26" ninja)
if [[ ! -x $VENV/bin/python || "$(cat "$VENV/.requirements" 2>/dev/null)" != "${requirements[*]}" ]]; then
    echo "test-gil.sh: creating $VENV from $BASE" >&2
    rm -rf "$VENV"
    "$BASE" -m venv "$VENV"
    bash scripts/heartbeat.sh "test-gil.sh: installing packages" \
        "$VENV/bin/python" -m pip install -q "${requirements[@]}" >&2
    echo "${requirements[*]}" >"$VENV/.requirements"
fi
if $venv_only; then
    echo "$VENV/bin/python"
    exit 0
fi
echo "test-gil.sh: building and testing with $("$VENV/bin/python" -V) (GIL enabled)" >&2
PATH="$VENV/bin:$PATH" bash scripts/heartbeat.sh "test-gil.sh: building" \
    "$VENV/bin/python" -m pip install -q --no-build-isolation --no-deps --force-reinstall . >&2
rc=0
"$VENV/bin/python" -m pytest -q -p no:cacheprovider tests "$@" || rc=$?
((rc != 5)) || { echo "test-gil.sh: pytest collected no tests" >&2; exit 1; }
exit "$rc"
