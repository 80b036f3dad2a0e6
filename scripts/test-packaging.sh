#!/usr/bin/env bash
# Builds an sdist, then for each interpreter given: a wheel built from that sdist and what it
# holds; the wheel repaired to a manylinux tag with auditwheel (scripts/repair-wheel.sh: it must
# bundle no library); and that wheel installed with pip into a fresh venv in a directory that has
# never seen the source tree (NumPy and ml_dtypes come from PyPI), where a script run from there,
# without PYTHONPATH, imports morla_core and morla from that venv and checks arithmetic, a matrix
# product and gradients in float32, float16 and bfloat16 against NumPy.
# With --aarch64 EMULATED, the same for 64-bit ARM Linux under qemu: the wheel cross-compiled from
# the sdist (scripts/wheel-aarch64.sh, built by the free-threaded 3.14 among the PYTHONs) and
# repaired to manylinux_2_34_aarch64, installed with its NumPy and ml_dtypes (aarch64 wheels, by
# the native pip) into a fresh aarch64 venv made by EMULATED, and the same script run there under
# qemu.
# Prints the repaired wheels' tags.
# Usage: scripts/test-packaging.sh PYTHON... [--aarch64 EMULATED]
#   PYTHON: venvs that build the module (bootstrap.sh's); EMULATED: the command bootstrap.sh
#   --aarch64 prints (it runs the aarch64 venv's python under qemu)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
# The manylinux policy the module meets when built here (Debian 12, GCC 12); the README names it.
MANYLINUX=manylinux_2_34_x86_64
usage() { echo "usage: scripts/test-packaging.sh PYTHON... [--aarch64 EMULATED]" >&2; exit 1; }
pythons=()
emulated=""
while (($#)); do
    case "$1" in
        --aarch64) (($# >= 2)) || usage; emulated="$2"; shift 2 ;;
        *) pythons+=("$1"); shift ;;
    esac
done
((${#pythons[@]})) || usage
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore
out="$(mktemp -d)"
homes=()
cleanup() { rm -rf "$out" ${homes[@]+"${homes[@]}"}; }
trap cleanup EXIT

base_of() { "$1" -c 'import sys; print(sys._base_executable)'; }

# check_contents PYTHON DIR: the wheel in DIR holds the module, the package and the stubs.
check_contents() {
    "$1" - "$2" <<'CHECK'
import pathlib, sys, zipfile
wheel, = pathlib.Path(sys.argv[1]).glob("morla_core-*.whl")
names = set(zipfile.ZipFile(wheel).namelist())
needed = {"morla/__init__.py", "morla/nn/functional.py", "morla/py.typed",
          "morla_core-stubs/__init__.pyi", "morla_core-stubs/nn/functional.pyi"}
missing = needed - names
assert not missing, f"wheel lacks {sorted(missing)}"
assert any(n.startswith("morla_core.") and n.endswith(".so") for n in names), "wheel lacks the module"
print(f"test-packaging: {wheel.name} holds the module, the package and the stubs", file=sys.stderr)
CHECK
}

# What the installed wheel must do, run with the venv's python from a directory beside the venv.
read -r -d '' USE <<'USE' || true
import pathlib, sys

import ml_dtypes
import numpy as np

import morla
import morla_core
from morla.nn.functional import relu

venv = pathlib.Path(sys.prefix).resolve()
for module in (morla_core, morla):
    where = pathlib.Path(module.__file__).resolve()
    assert venv in where.parents, f"{module.__name__} imported from {where}, not from {venv}"

x0 = np.array([[1.0, -2.0, 0.5], [3.0, 0.25, -1.0]])
w0 = np.array([[0.5, 1.0], [2.0, 0.75], [-0.5, 1.5]])
for dtype, spelling in ((np.float32, "f32"), (np.float16, "f16"), (ml_dtypes.bfloat16, "bf16")):
    # every value, product and sum here is exact in each type
    x = morla.Tensor(x0.astype(dtype), dtype=spelling, requires_grad=True)
    w = morla.Tensor(w0.astype(dtype), dtype=spelling, requires_grad=True)
    assert x.dtype == spelling and w.dtype == spelling, (x.dtype, w.dtype)
    z = relu((x * 2.0 + x) @ w - 1.0) / 4.0
    y = (3.0 * x0) @ w0 - 1.0
    np.testing.assert_array_equal(z.to_numpy(), (np.maximum(y, 0.0) / 4.0).astype(dtype))
    assert z.to_numpy().dtype == np.dtype(dtype)
    z.backward()
    mask = (y > 0.0) / 4.0
    gx, gw = x.grad(), w.grad()
    assert gx.dtype == np.dtype(dtype) and gx.shape == (2, 3), (gx.dtype, gx.shape)
    np.testing.assert_array_equal(gx, (3.0 * mask @ w0.T).astype(dtype))
    np.testing.assert_array_equal(gw, ((3.0 * x0).T @ mask).astype(dtype))
    morla.Tensor.clear_graph()
import platform
print(f"test-packaging: morla {morla.__version__} from {venv} on {platform.machine()}: float32, "
      f"float16, bfloat16 arithmetic, products and gradients agree with NumPy {np.__version__}",
      file=sys.stderr)
USE

echo "test-packaging: sdist" >&2
"${pythons[0]}" -m build --sdist --no-isolation -o "$out" . >"$out/sdist.log" 2>&1 \
    || { cat "$out/sdist.log" >&2; echo "test-packaging: the sdist failed" >&2; exit 1; }
sdist=("$out"/morla_core-*.tar.gz)

for PY in "${pythons[@]}"; do
    # the interpreter's tag and its ABI's: cp314 and cp314t, or cp314 twice
    read -r pytag tag < <("$PY" -c 'import sys
tag = "cp%d%d" % sys.version_info[:2]
print(tag, tag + sys.abiflags)')
    dist="$out/$tag"
    mkdir -p "$dist/raw"
    echo "test-packaging: $tag: a wheel built from the sdist" >&2
    PATH="$(dirname "$PY"):$PATH" bash scripts/heartbeat.sh "test-packaging: $tag: building" \
        "$PY" -m pip wheel -q --no-build-isolation --no-deps -w "$dist/raw" "${sdist[0]}" >&2
    check_contents "$PY" "$dist/raw"
    # The policy the README names: repair fails if the module needs a newer C or C++ library.
    repaired="$(bash scripts/repair-wheel.sh "$PY" "$dist/raw"/morla_core-*.whl "$MANYLINUX" "$dist/repaired")"
    wheel_name="$(basename "$repaired")"
    [[ $wheel_name == *-$pytag-$tag-* ]] || { echo "test-packaging: $wheel_name is not tagged $pytag-$tag" >&2; exit 1; }
    echo "test-packaging: $tag: repaired to $wheel_name" >&2
    echo "$wheel_name"

    # A venv in a directory of its own, the check run from another one beside it, no PYTHONPATH,
    # and -I: nothing of the source tree, the sdist or the build products can be on the path.
    home="$(mktemp -d)"
    homes+=("$home")
    mkdir "$home/run"
    "$(base_of "$PY")" -m venv "$home/venv"
    (cd "$home/run" && env -u PYTHONPATH "$home/venv/bin/python" -I -m pip install -q \
        --only-binary=numpy,ml_dtypes "$repaired" ml_dtypes >&2)
    (cd "$home/run" && env -u PYTHONPATH "$home/venv/bin/python" -I - <<<"$USE")
done

[[ -n $emulated ]] || exit 0
# ---- aarch64, under qemu ----
build_py=""
for PY in "${pythons[@]}"; do
    if "$PY" -c 'import sys, sysconfig
assert sys.version_info[:2] == (3, 14) and sysconfig.get_config_var("Py_GIL_DISABLED")' 2>/dev/null; then
        build_py="$PY"
        break
    fi
done
[[ -n $build_py ]] || { echo "test-packaging: --aarch64 needs a free-threaded 3.14 among the PYTHONs to build with" >&2; exit 1; }
dist="$out/aarch64"
echo "test-packaging: aarch64: a wheel cross-compiled from the sdist" >&2
repaired="$(bash scripts/wheel-aarch64.sh "$build_py" "$emulated" "${sdist[0]}" "$dist")"
check_contents "$build_py" "$dist/raw"
wheel_name="$(basename "$repaired")"
[[ $wheel_name == *-cp314-cp314t-manylinux_2_34_aarch64.whl ]] \
    || { echo "test-packaging: $wheel_name is not tagged cp314-cp314t-manylinux_2_34_aarch64" >&2; exit 1; }
echo "test-packaging: aarch64: repaired to $wheel_name" >&2
echo "$wheel_name"

# The same fresh venv and check under qemu. The venv is made by the emulated interpreter without
# pip; the native pip installs the aarch64 wheels into it (scripts/pip-aarch64.sh); a copy of
# EMULATED beside its python runs it.
home="$(mktemp -d)"
homes+=("$home")
mkdir "$home/run"
(cd "$home/run" && "$emulated" -I -m venv --without-pip "$home/venv")
cp "$emulated" "$home/venv/bin/python-emulated"
env -u PYTHONPATH bash scripts/pip-aarch64.sh "$build_py" "$home/venv" "$repaired" ml_dtypes >&2
(cd "$home/run" && env -u PYTHONPATH "$home/venv/bin/python-emulated" -I - <<<"$USE")
