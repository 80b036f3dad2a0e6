#!/usr/bin/env bash
# Builds a variant of the module into a directory of its own, for tests that put it first on
# PYTHONPATH; prints that directory. The venv's normal build is left alone.
# Usage: scripts/build-variant.sh PYTHON NAME [pip --config-settings ...]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
PY="$1"
NAME="$2"
shift 2
target="${MORLA_CACHE:-$HOME/.cache/morla}/variants/$NAME"
rm -rf "$target"
PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore PATH="$(dirname "$PY"):$PATH" \
    bash scripts/heartbeat.sh "build-variant: building the $NAME build" "$PY" -m pip install -q --no-build-isolation --no-deps --target "$target" \
    "--config-settings=build-dir=build/{wheel_tag}-$NAME" "$@" . >&2
echo "$target"
