#!/usr/bin/env bash
# The main job: sets everything up (scripts/bootstrap.sh), then trains a relu perceptron on the
# handwritten digits that scikit-learn ships, each mini-batch split across threads
# (examples/train_digits.py). Extra arguments go to the example (e.g. --threads 4, --epochs 60,
# --compare-threads).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
PY="$(bash scripts/bootstrap.sh | tail -n 1)"
exec "$PY" examples/train_digits.py "$@"
