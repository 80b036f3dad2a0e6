import os
import platform
import subprocess
import threading
import sys
import sysconfig

import pytest

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

ISAS = ("Portable", "Avx2", "Avx512")


def _cpu_flags():
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("flags"):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return set()


def active_isa():
    """The instruction-set path the module's kernels run on: "Portable", "Avx2" or "Avx512".

    MORLA_TEST_ISA names it for a build whose path is pinned (MORLA_FORCE_ISA); otherwise it is
    what the module picks from this CPU's features. The other paths are tested by the kernel
    tests (tests/kernels)."""
    pinned = os.environ.get("MORLA_TEST_ISA")
    if pinned:
        if pinned not in ISAS:
            raise ValueError(f"MORLA_TEST_ISA={pinned!r}, expected one of {ISAS}")
        return pinned
    if platform.machine().lower() not in ("x86_64", "amd64"):
        return "Portable"
    flags = _cpu_flags()
    if {"f16c", "fma"} <= flags:
        if {"avx512f", "avx512bw", "avx512vl", "avx512dq"} <= flags:
            return "Avx512"
        if "avx2" in flags:
            return "Avx2"
    return "Portable"


@pytest.fixture(scope="session")
def isa():
    return active_isa()


def run_python(code: str) -> subprocess.CompletedProcess:
    """Runs code in a fresh interpreter (the one running the tests) and returns the result."""
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)


@pytest.fixture
def fresh_python():
    return run_python


def run_in_threads(work, count=8):
    """Runs work(index) on count threads released together; re-raises what any of them raised."""
    barrier = threading.Barrier(count)
    errors = []

    def body(index):
        try:
            barrier.wait()
            work(index)
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors, errors
