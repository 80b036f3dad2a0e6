#!/usr/bin/env bash
# The main job: sets everything up (scripts/bootstrap.sh), then trains the example perceptron.
# Extra arguments go to the example (e.g. --steps 2000).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
PY="$(bash scripts/bootstrap.sh | tail -n 1)"
exec "$PY" examples/train_mlp.py "$@"
