import subprocess
import sys
import sysconfig

import pytest

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def run_python(code: str) -> subprocess.CompletedProcess:
    """Runs code in a fresh interpreter (the one running the tests) and returns the result."""
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)


@pytest.fixture
def fresh_python():
    return run_python
