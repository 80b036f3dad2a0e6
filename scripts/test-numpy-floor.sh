#!/usr/bin/env bash
# Runs the whole suite against the oldest NumPy that installs as a binary wheel on each given
# interpreter, with the oldest ml_dtypes that has a wheel there too: NumPy 2.1.0 and ml_dtypes
# 0.5.0 on CPython 3.13, NumPy 2.3.2 and ml_dtypes 0.5.3 on CPython 3.14 with or without the GIL
# (no older release ships wheels for them). These are the floors pyproject.toml declares, and the
# run checks that the installed wheel's metadata names exactly that floor for the interpreter.
# Each interpreter is given as a venv that builds the module (bootstrap.sh's, test-gil.sh's): the
# wheel is built there, against that venv's current NumPy as a wheel from PyPI would be, and
# installed into a venv of the floor versions kept in the cache dir.
# Usage: scripts/test-numpy-floor.sh PYTHON... [-- pytest arguments]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
CACHE="${MORLA_CACHE:-$HOME/.cache/morla}"
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore

log() { echo "test-numpy-floor: $*" >&2; }
die() { log "error: $*"; exit 1; }

pythons=()
while (($#)) && [[ $1 != -- ]]; do pythons+=("$1"); shift; done
[[ ${1:-} == -- ]] && shift
((${#pythons[@]})) || die "usage: scripts/test-numpy-floor.sh PYTHON... [-- pytest arguments]"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

for vpy in "${pythons[@]}"; do
    # cp313, cp314 or cp314t; the interpreter the venv was made from.
    read -r tag version base < <("$vpy" -c 'import sys
print("cp%d%d%s" % (*sys.version_info[:2], sys.abiflags), "%d.%d" % sys.version_info[:2],
      sys._base_executable)')
    case $version in
        3.13) floor=(2.1.0 0.5.0) ;;
        3.14) floor=(2.3.2 0.5.3) ;;
        *) die "no NumPy floor known for Python $version" ;;
    esac
    venv="$CACHE/venv-numpy-floor-$tag"
    # scikit-learn, matplotlib and tqdm for the main job's tests: it does its updates in NumPy.
    requirements=("numpy==${floor[0]}" "ml_dtypes==${floor[1]}" pytest hypothesis scikit-learn matplotlib tqdm)
    identity="$base ${requirements[*]}"
    if [[ ! -x $venv/bin/python || "$(cat "$venv/.requirements" 2>/dev/null)" != "$identity" ]]; then
        log "creating $venv from $base"
        rm -rf "$venv"
        "$base" -m venv "$venv"
        # Binary wheels only: a NumPy that would have to be compiled does not count as installing.
        bash scripts/heartbeat.sh "test-numpy-floor: $tag: installing the floor" \
            "$venv/bin/python" -m pip install -q --only-binary=:all: "${requirements[@]}" >&2
        echo "$identity" >"$venv/.requirements"
    fi

    log "$tag: building the wheel with $vpy"
    rm -rf "$work/$tag"
    PATH="$(dirname "$vpy"):$PATH" bash scripts/heartbeat.sh "test-numpy-floor: $tag: building" \
        "$vpy" -m pip wheel -q --no-build-isolation --no-deps -w "$work/$tag" . >&2
    "$venv/bin/python" -m pip install -q --no-deps --force-reinstall "$work/$tag"/morla_core-*.whl >&2

    "$venv/bin/python" - "${floor[@]}" <<'CHECK'
import importlib.metadata as metadata, sys
from packaging.requirements import Requirement
from packaging.version import Version

numpy_floor, ml_dtypes_floor = sys.argv[1:]
for name, want in (("numpy", numpy_floor), ("ml_dtypes", ml_dtypes_floor)):
    got = metadata.version(name)
    assert got == want, f"{name} {got} is installed, not the floor {want}"
requirements = list(map(Requirement, metadata.requires("morla_core")))
said = []
for name, floor, environment in (("numpy", numpy_floor, {"extra": ""}),
                                 ("ml_dtypes", ml_dtypes_floor, {"extra": "bfloat16"})):
    declared = [r for r in requirements
                if r.name == name and (r.marker is None or r.marker.evaluate(environment))]
    assert len(declared) == 1, f"the wheel declares {declared} for this interpreter"
    bounds = [s for s in declared[0].specifier if s.operator == ">="]
    assert len(bounds) == 1 and Version(bounds[0].version) == Version(floor), (
        f"the wheel declares {declared[0]}, the tested floor is {name} {floor}")
    said.append(f"'{declared[0]}'")
print(f"test-numpy-floor: numpy {numpy_floor}, ml_dtypes {ml_dtypes_floor}; the wheel declares "
      f"{' and '.join(said)}", file=sys.stderr)
CHECK

    log "$tag: the whole suite with NumPy ${floor[0]} and ml_dtypes ${floor[1]}"
    rc=0
    "$venv/bin/python" -m pytest -q -p no:cacheprovider tests "$@" || rc=$?
    ((rc != 5)) || die "pytest collected no tests"
    ((rc == 0)) || exit "$rc"
done
