#!/usr/bin/env bash
# Cross-compiles the morla_core wheel for 64-bit ARM Linux on this x86-64 machine and repairs it to
# manylinux_2_34_aarch64 (scripts/repair-wheel.sh, auditwheel under qemu); prints the repaired wheel's path.
#   BUILD_PYTHON   a native free-threaded CPython 3.14 with scikit-build-core, CMake and Ninja
#                  (bootstrap.sh's venv): it runs the build, with the cross compiler
#                  (cmake/toolchains/aarch64-linux-gnu.cmake);
#   TARGET_PYTHON  the aarch64 free-threaded CPython 3.14 with NumPy, as a command run under qemu
#                  (bootstrap.sh --aarch64's python-emulated): the build takes its configuration
#                  (sysconfig: the extension suffix and the platform; its headers; its NumPy's
#                  headers) instead of the build interpreter's;
#   SOURCE         the source tree (built incrementally in its build/cp314-cp314t-linux_aarch64)
#                  or an sdist;
#   OUTDIR         gets the wheel as built in OUTDIR/raw and the repaired one in OUTDIR.
# Usage: scripts/wheel-aarch64.sh BUILD_PYTHON TARGET_PYTHON SOURCE OUTDIR
set -euo pipefail
(($# == 4)) || { echo "usage: scripts/wheel-aarch64.sh BUILD_PYTHON TARGET_PYTHON SOURCE OUTDIR" >&2; exit 2; }
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_PY="$1" TARGET_PY="$2" SOURCE="$3" OUT="$4"
POLICY=manylinux_2_34_aarch64  # as the x86-64 wheels': Debian 12's glibc and GCC 12
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore

# One line each: the target interpreter's path, its sysconfig data (module name and directory),
# platform, extension suffix, headers, and its NumPy's headers (found without importing NumPy,
# which is slow under qemu).
mapfile -t target < <("$TARGET_PY" -I -c '
import importlib.util, os, sys, sysconfig
name = sysconfig._get_sysconfigdata_name()
numpy = importlib.util.find_spec("numpy")
assert numpy is not None, "no NumPy"
print(sys.executable, name, os.path.dirname(importlib.util.find_spec(name).origin),
      sysconfig.get_platform(), sysconfig.get_config_var("EXT_SUFFIX"), sysconfig.get_paths()["include"],
      os.path.join(numpy.submodule_search_locations[0], "_core", "include"), sep="\n")')
((${#target[@]} == 7)) || { echo "wheel-aarch64: cannot query $TARGET_PY" >&2; exit 1; }
executable="${target[0]}" sysconfig_name="${target[1]}" sysconfig_dir="${target[2]}"
platform="${target[3]}" ext_suffix="${target[4]}" include="${target[5]}" numpy_include="${target[6]}"
[[ $platform == linux-aarch64 ]] || { echo "wheel-aarch64: $TARGET_PY is for $platform" >&2; exit 1; }

rm -rf "$OUT/raw"
mkdir -p "$OUT/raw"
echo "wheel-aarch64: building the wheel for $platform ($ext_suffix) from $SOURCE" >&2
# The build interpreter reports the target's configuration (sysconfig reads the target's data;
# scikit-build-core takes the wheel's platform from _PYTHON_HOST_PLATFORM). CMake's FindPython
# asks the target interpreter itself, run by the toolchain's emulator (policy CMP0190, which the
# project's minimum CMake version leaves unset), and gets the target's headers and NumPy's.
_PYTHON_HOST_PLATFORM="$platform" _PYTHON_SYSCONFIGDATA_NAME="$sysconfig_name" \
    _PYTHON_SYSCONFIGDATA_PATH="$sysconfig_dir" PATH="$(dirname "$BUILD_PY"):$PATH" \
    bash "$ROOT/scripts/heartbeat.sh" "wheel-aarch64: building" \
    "$BUILD_PY" -m pip wheel -q --no-build-isolation --no-deps -w "$OUT/raw" \
    -C cmake.define.CMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchains/aarch64-linux-gnu.cmake" \
    -C cmake.define.CMAKE_POLICY_DEFAULT_CMP0190=NEW -C cmake.define.Python_EXECUTABLE="$executable" \
    -C cmake.define.Python_INCLUDE_DIR="$include" -C cmake.define.MORLA_NUMPY_INCLUDE="$numpy_include" \
    "$SOURCE" >&2
raw=("$OUT/raw"/morla_core-*.whl)
if [[ ! -f ${raw[0]} ]] || ((${#raw[@]} != 1)); then
    echo "wheel-aarch64: no single wheel in $OUT/raw" >&2
    exit 1
fi
[[ ${raw[0]} == *-cp314-cp314t-linux_aarch64.whl ]] \
    || { echo "wheel-aarch64: $(basename "${raw[0]}") is not tagged cp314-cp314t-linux_aarch64" >&2; exit 1; }
"$BUILD_PY" - "${raw[0]}" "$ext_suffix" <<'CHECK'
import sys, zipfile
wheel, suffix = sys.argv[1:]
modules = [n for n in zipfile.ZipFile(wheel).namelist() if n.startswith("morla_core.") and n.endswith(".so")]
assert modules == ["morla_core" + suffix], f"{wheel} holds {modules}, not morla_core{suffix}"
CHECK
bash "$ROOT/scripts/repair-wheel.sh" --emulated "$TARGET_PY" "$BUILD_PY" "${raw[0]}" "$POLICY" "$OUT"
