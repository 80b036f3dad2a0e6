"""OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE, when set, slow a current NumPy. The driver clears them
for its own process and its children by running itself again without them, before NumPy is
imported, and records the values it found. Only the standard library is used here.
"""

from __future__ import annotations

import json
import os
import sys

VARS = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")
_FOUND = "MORLA_BENCH_CLEARED_OPENBLAS"  # the values found, as JSON, for the process run without them


def rerun_without() -> None:
    """When either variable is set, runs this script again without them (and does not return)."""
    if any(k in os.environ for k in VARS):
        env = {k: v for k, v in os.environ.items() if k not in VARS}
        env[_FOUND] = json.dumps({k: os.environ[k] for k in VARS if k in os.environ})
        os.execve(sys.executable, [sys.executable, *sys.argv], env)
    os.environ.setdefault(_FOUND, "{}")


def cleared() -> dict[str, str]:
    """The variables cleared for this run and the values they had."""
    return json.loads(os.environ.get(_FOUND, "{}"))
