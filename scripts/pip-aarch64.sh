#!/usr/bin/env bash
# Installs packages into an aarch64 venv of the free-threaded CPython 3.14 with the native pip
# (pip itself under qemu takes minutes): aarch64 wheels only, for the glibc of this machine's
# arm64 libraries (Debian multiarch: the same as the native one's). pip --target replaces only
# what the new wheels hold.
# Usage: scripts/pip-aarch64.sh PYTHON VENV [pip install arguments] REQUIREMENT...
#   PYTHON: a native CPython with pip (bootstrap.sh's venv); VENV: an aarch64 3.14t venv
set -euo pipefail
(($# >= 3)) || { echo "usage: scripts/pip-aarch64.sh PYTHON VENV [pip install arguments] REQUIREMENT..." >&2; exit 2; }
PY="$1" VENV="$2"
shift 2
site="$VENV/lib/python3.14t/site-packages"
[[ -d $site ]] || { echo "pip-aarch64: $VENV is not a venv of CPython 3.14t ($site is missing)" >&2; exit 1; }
# pip takes the platform tags literally: every manylinux glibc up to this one
glibc="$(getconf GNU_LIBC_VERSION)"  # "glibc 2.36"
glibc="${glibc#glibc }"
platforms=()
for ((minor = ${glibc#*.}; minor >= 17; minor--)); do
    platforms+=(--platform "manylinux_${glibc%%.*}_${minor}_aarch64")
done
platforms+=(--platform manylinux2014_aarch64)
PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore "$PY" -m pip install -q --only-binary=:all: \
    "${platforms[@]}" --implementation cp --python-version 3.14 --abi cp314t --target "$site" "$@"
