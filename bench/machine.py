"""What a run ran on: the processor, the environment, the versions, the installed morla_core and
NumPy's BLAS, as the JSON records them.
"""

from __future__ import annotations

import hashlib
import importlib.metadata
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

import ml_dtypes
import numpy as np
from threadpoolctl import threadpool_info

import morla_core
from morla._kernel_path import active_path

import openblas_vars
from common import MIB

REPO = Path(__file__).resolve().parent.parent


def cpu_info() -> dict:
    model, flags = None, set()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                key, _, value = line.partition(":")
                key = key.strip()
                if key == "model name" and model is None:
                    model = value.strip()
                elif key == "flags" and not flags:
                    flags = set(value.split())
    except OSError:
        pass
    model = model or platform.processor() or "unknown"
    wanted = ["avx2", "avx512f", "avx512bw", "avx512vl", "avx512dq", "f16c", "fma", "avx512_bf16"]
    mem_kib = None
    try:
        with open("/proc/meminfo") as f:
            mem_kib = int(f.readline().split()[1])
    except (OSError, ValueError, IndexError):
        pass
    return {
        "model": model,
        "flags": {k: k in flags for k in wanted},
        "cores": os.cpu_count(),
        "memory_gib": round(mem_kib / MIB, 1) if mem_kib else None,
        "kernel": platform.release(),
        "machine": platform.machine(),
        "morla_cpu_path": active_path(),
    }


def module_info() -> dict:
    so = Path(morla_core.__file__)
    info = {"file": str(so), "mtime": time.strftime("%Y-%m-%dT%H:%M:%S", time.localtime(so.stat().st_mtime)),
            "sha256": hashlib.sha256(so.read_bytes()).hexdigest()[:16]}
    try:
        info["version"] = importlib.metadata.version("morla_core")
    except importlib.metadata.PackageNotFoundError:
        info["version"] = None
    try:
        info["git_commit"] = subprocess.run(["git", "-C", str(REPO), "rev-parse", "--short", "HEAD"],
                                            capture_output=True, text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", str(REPO), "status", "--porcelain", "--", "src"],
                               capture_output=True, text=True, check=True).stdout.strip()
        info["git_src_modified"] = bool(dirty)
    except (OSError, subprocess.CalledProcessError):
        pass
    return info


def blas_info() -> list[dict]:
    keep = ("internal_api", "prefix", "version", "architecture", "threading_layer", "num_threads")
    return [{k: lib.get(k) for k in keep} for lib in threadpool_info() if lib.get("user_api") == "blas"]


def environment() -> dict:
    return {
        "openblas_vars_cleared_for_benchmarks": openblas_vars.cleared(),
        "OPENBLAS_NUM_THREADS": os.environ.get("OPENBLAS_NUM_THREADS"),
        "OMP_NUM_THREADS": os.environ.get("OMP_NUM_THREADS"),
    }


def versions() -> dict:
    """This process's; the driver adds PyTorch's from the peer."""
    return {
        "python": platform.python_version(),
        "gil_enabled": sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True,
        "numpy": np.__version__, "ml_dtypes": ml_dtypes.__version__,
    }
