import subprocess
import threading
import sys
import sysconfig

import pytest
from morla._kernel_path import active_path
from morla_core import Tensor

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


@pytest.fixture(scope="session")
def isa():
    """The instruction-set path the module's kernels run on here ("portable", "avx2", "avx512",
    "avx512bf16", "neon"); the kernel tests (tests/kernels) cover the others."""
    return active_path()


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


def rss_mb():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:")) / 1024


def internal_failure_class():
    """The class a broken invariant is raised as; a transpose axis out of range is one."""
    try:
        Tensor([[1.0]]).transpose(0, 2)
    except Exception as error:
        raise AssertionError(f"transpose out of range raised {error!r}") from error
    except BaseException as error:  # noqa: BLE001 - this is what we are after
        assert type(error).__bases__ == (BaseException,)
        return type(error)


INTERNAL = internal_failure_class()


def attempt(fn):
    """Runs fn and returns (its result, None) or (None, the class it raised)."""
    try:
        return fn(), None
    except BaseException as error:  # noqa: BLE001 - classified by the caller
        return None, type(error)


# Under emulation (scripts/test-aarch64.sh sets MORLA_HYPOTHESIS_PROFILE=emulated) code runs some
# ten times slower: no deadlines, and slow data generation fails no health check.
def _load_hypothesis_profile():
    import os

    from hypothesis import HealthCheck, settings

    settings.register_profile("emulated", deadline=None, suppress_health_check=[HealthCheck.too_slow])
    settings.load_profile(os.environ.get("MORLA_HYPOTHESIS_PROFILE", "default"))


_load_hypothesis_profile()
