#!/usr/bin/env bash
# Tests every instruction-set path from one build: the kernel tests (scripts/test-kernels.sh)
# call each compiled path's kernels directly, then run again under ASan and UBSan. The Python
# suite covers the path this CPU picks.
# Usage: scripts/test-paths.sh
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
bash scripts/test-kernels.sh
echo "test-paths: the kernel tests under ASan and UBSan" >&2
bash scripts/test-kernels.sh --sanitize
