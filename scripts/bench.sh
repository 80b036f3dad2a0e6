#!/usr/bin/env bash
# The benchmark suite: sets everything up, runs bench/run.py, prints the table and writes
# bench/results.json and bench/results.png; then bench/digits.py, the main job beside PyTorch
# (bench/digits.json). Extra arguments go to bench/run.py (e.g. --quick). Each row of the table
# has a target and a verdict: ok, "miss: <reason>" when the run's own figures bear out the reason
# its workload names (targets and reasons side by side in bench/workloads.py), or a bare MISS; a
# thread scaling measured while the machine was busy reads "unreliable" and why, unjudged.
# First this core's limits are measured, in the same run: peak GFLOP/s, memory bandwidth and the
# cost of one call into C (bench/limits.py; its loops, bench/limits.c, are built with the system
# compiler, $CC or cc, with run-time dispatch), and each row is also given against them.
#
# Set-up, idempotent and fast when everything is present:
#   - scripts/bootstrap.sh: the free-threaded 3.14 venv with morla_core built and installed;
#     MORLA_BENCH_NO_BUILD=1 skips it and measures the module already installed in that venv;
#   - threadpoolctl (and matplotlib, when a wheel for this interpreter exists) in that venv;
#   - $MORLA_CACHE/venv-torch: a Python 3.11 venv with torch 2.13.0 (CPU), the PyTorch peer,
#     which also draws the chart when matplotlib can't go into the 3.14t venv.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore

CACHE="${MORLA_CACHE:-$HOME/.cache/morla}"
TORCH_VENV="$CACHE/venv-torch"
TORCH_REQUIREMENTS=("torch==2.13.0" numpy threadpoolctl)

log() { echo "bench: $*" >&2; }

if [[ ${MORLA_BENCH_NO_BUILD:-0} == 1 ]]; then
    PY="$CACHE/venv-3.14t/bin/python"
    [[ -x $PY ]] || { log "error: $PY missing (run scripts/bootstrap.sh once)"; exit 1; }
    log "MORLA_BENCH_NO_BUILD=1: measuring the module installed in $PY"
else
    PY="$(bash scripts/bootstrap.sh | tail -n 1)"
fi

# Installs packages into a venv once; a stamp file records what was asked for.
# Returns non-zero (without exiting) when pip fails.
ensure_packages() {  # venv-python stamp-name pip-args...
    local vpy="$1" stamp; stamp="$(dirname "$(dirname "$1")")/.$2"; shift 2
    [[ "$(cat "$stamp" 2>/dev/null)" == "$*" ]] && return 0
    log "installing into $(dirname "$(dirname "$vpy")"): $*"
    "$vpy" -m pip install -q "$@" >&2 || return 1
    echo "$*" >"$stamp"
}

# The PyTorch peer's venv (CPython 3.11, the version torch 2.13.0's CPU wheel is built for).
ensure_torch_venv() {
    local py311
    py311="$(command -v python3.11 || true)"
    if [[ -z $py311 ]] && python3 -c 'import sys; assert sys.version_info[:2] == (3, 11)' 2>/dev/null; then
        py311="$(command -v python3)"
    fi
    if [[ ! -x $TORCH_VENV/bin/python ]]; then
        [[ -n $py311 ]] || { log "no python3.11 found: the PyTorch peer is skipped"; return 1; }
        log "creating $TORCH_VENV from $py311"
        "$py311" -m venv "$TORCH_VENV" >&2 || { rm -rf "$TORCH_VENV"; return 1; }
    fi
    ensure_packages "$TORCH_VENV/bin/python" requirements "${TORCH_REQUIREMENTS[@]}"
}

RUN_ARGS=()
if ensure_torch_venv; then
    RUN_ARGS+=(--torch-python "$TORCH_VENV/bin/python")
else
    log "warning: PyTorch venv unavailable; its columns will read n/a"
    RUN_ARGS+=(--no-torch)
fi

ensure_packages "$PY" bench-requirements threadpoolctl \
    || { log "error: could not install threadpoolctl into the 3.14t venv"; exit 1; }

# matplotlib: into the 3.14t venv when a binary wheel for it exists, else into the torch venv.
PLOT_PY=""
if ensure_packages "$PY" bench-plot --only-binary=:all: matplotlib; then
    PLOT_PY="$PY"
elif [[ -x $TORCH_VENV/bin/python ]] && ensure_packages "$TORCH_VENV/bin/python" plot matplotlib; then
    log "matplotlib has no wheel for the 3.14t interpreter: the torch venv draws the chart"
    PLOT_PY="$TORCH_VENV/bin/python"
else
    log "warning: matplotlib unavailable; no chart"
fi

# bench/run.py clears OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE for its own processes only.
"$PY" bench/run.py --out bench/results.json "${RUN_ARGS[@]}" "$@"

# The main job beside PyTorch: same weights, batches and update; time per epoch and loss agreement.
ensure_packages "$PY" bench-digits scikit-learn tqdm \
    || { log "error: could not install scikit-learn into the 3.14t venv"; exit 1; }
DIGITS_ARGS=()
[[ -x $TORCH_VENV/bin/python ]] && DIGITS_ARGS+=(--torch-python "$TORCH_VENV/bin/python")
if [[ " $* " != *" --quick "* ]]; then
    "$PY" bench/digits.py --out bench/digits.json ${DIGITS_ARGS[@]+"${DIGITS_ARGS[@]}"}
fi

if [[ -n $PLOT_PY ]]; then
    "$PLOT_PY" bench/plot.py bench/results.json bench/results.png
fi
