#!/usr/bin/env bash
# Builds an sdist, builds a wheel from that sdist, and checks what the wheel holds.
# Usage: scripts/test-packaging.sh PYTHON
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
PY="$1"
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
echo "test-packaging: sdist, then a wheel built from it" >&2
"$PY" -m build --sdist --no-isolation -o "$out" . >/dev/null
PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore PATH="$(dirname "$PY"):$PATH" \
    "$PY" -m pip wheel -q --no-build-isolation --no-deps -w "$out" "$out"/morla_core-*.tar.gz >&2
"$PY" - "$out" <<'CHECK'
import pathlib, sys, zipfile
wheel, = pathlib.Path(sys.argv[1]).glob("morla_core-*.whl")
names = set(zipfile.ZipFile(wheel).namelist())
needed = {"morla/__init__.py", "morla/nn/functional.py", "morla/py.typed",
          "morla_core-stubs/__init__.pyi", "morla_core-stubs/nn/functional.pyi"}
missing = needed - names
assert not missing, f"wheel lacks {sorted(missing)}"
assert any(n.startswith("morla_core.") and n.endswith(".so") for n in names), "wheel lacks the module"
print(f"test-packaging: {wheel.name} holds the module, the package and the stubs")
CHECK
