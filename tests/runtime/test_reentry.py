"""Python code that re-enters the module while a one-time set-up is running on the same thread.

The set-ups (NumPy's C API, numpy.array, the dtypes, the class object) run Python code; a
finalizer, a gc callback or a profile hook can make a Tensor in that window. Each case runs in a
fresh interpreter, where nothing is set up yet, with a timeout: a hang fails the test.
"""

import subprocess
import sys
import textwrap

import pytest
from conftest import FREE_THREADED, run_python

pytestmark = pytest.mark.thread_unsafe  # each case starts its own interpreter

LAST_LINE = "done [1.] [1.]"


def run(code):
    try:
        result = run_python(textwrap.dedent(code))
    except subprocess.TimeoutExpired:
        pytest.fail("the interpreter hung")
    assert result.returncode == 0, result.stderr
    return result


@pytest.mark.parametrize("prelude", ["", "import numpy"])
def test_finalizer_during_first_use(prelude):
    result = run(f"""
        import gc
        {prelude}
        import morla_core

        class Node:
            def __init__(self):
                self.me = self

            def __del__(self):
                morla_core.Tensor([0.0])

        gc.collect()
        gc.set_threshold(1, 0)
        Node()
        a = morla_core.Tensor([1.0])
        gc.set_threshold(2000, 10)
        print("done", a.to_numpy(), morla_core.Tensor([1.0]).to_numpy())
    """)
    assert result.stdout.strip().endswith(LAST_LINE)


def test_gc_callback_during_first_use():
    result = run("""
        import gc
        import morla_core

        def callback(phase, info):
            if phase == "start":
                morla_core.Tensor([2.0])

        gc.callbacks.append(callback)
        gc.set_threshold(1, 0)
        a = morla_core.Tensor([1.0])
        gc.callbacks.clear()
        gc.set_threshold(2000, 10)
        print("done", a.to_numpy(), morla_core.Tensor([1.0]).to_numpy())
    """)
    assert result.stdout.strip().endswith(LAST_LINE)


@pytest.mark.parametrize("dtype", ["f32", "f16", "bf16", "bool"])
def test_profile_hook_re_enters_every_set_up(dtype):
    # With NumPy imported, every Python call made by a set-up reaches the hook, which makes
    # and converts a tensor of the same type: the nested call finishes the set-up first.
    result = run(f"""
        import sys
        import ml_dtypes, numpy
        import morla_core

        made = []
        inside = False

        def hook(frame, event, arg):
            global inside
            if event == "call" and not inside:
                inside = True
                try:
                    made.append(morla_core.Tensor([1.0], dtype="{dtype}").to_numpy())
                finally:
                    inside = False

        sys.setprofile(hook)
        a = morla_core.Tensor([1.0], dtype="{dtype}")
        b = a.to_numpy()
        sys.setprofile(None)
        assert made and all(m.tolist() == [1.0] for m in made), made
        assert b.dtype == made[0].dtype
        print("done", b.astype("float32"), morla_core.Tensor([1.0]).to_numpy())
    """)
    assert result.stdout.strip().endswith(LAST_LINE)


def test_threads_wait_for_nothing_while_one_re_enters():
    # One thread re-enters from a profile hook while others make tensors: all finish.
    result = run("""
        import sys, threading
        import numpy
        import morla_core

        inside = threading.local()

        def hook(frame, event, arg):
            if event == "call" and not getattr(inside, "flag", False):
                inside.flag = True
                try:
                    morla_core.Tensor([3.0])
                finally:
                    inside.flag = False

        def work(hooked):
            if hooked:
                sys.setprofile(hook)
            for _ in range(50):
                assert morla_core.Tensor([1.0, 2.0]).to_numpy().tolist() == [1.0, 2.0]
            sys.setprofile(None)

        threads = [threading.Thread(target=work, args=(i == 0,)) for i in range(6)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        print("done", morla_core.Tensor([1.0]).to_numpy(), morla_core.Tensor([1.0]).to_numpy())
    """)
    assert result.stdout.strip().endswith(LAST_LINE)


def dtype_whose_name_raises(error):
    """An object whose __name__ raises error and which NumPy resolves to float16."""
    import numpy as np

    class Dtype:
        dtype = np.dtype("float16")

        @property
        def __name__(self):
            raise error

    return Dtype()


@pytest.mark.parametrize("error", [KeyboardInterrupt, MemoryError, SystemExit, GeneratorExit])
def test_dtype_name_lets_interrupts_and_exhaustion_through(error):
    from morla_core import Tensor

    with pytest.raises(error):
        Tensor([1.0], dtype=dtype_whose_name_raises(error))


@pytest.mark.parametrize("error", [AttributeError, ValueError, RuntimeError, ZeroDivisionError])
def test_dtype_name_failing_ordinarily_falls_back_to_numpy(error):
    from morla_core import Tensor

    assert Tensor([1.0], dtype=dtype_whose_name_raises(error)).dtype == "f16"


def test_a_second_interpreter_is_refused_cleanly():
    # The class object and NumPy's table are per process: a subinterpreter must not crash the
    # process, and the main interpreter goes on working. Where the interpreter honours the
    # module's declaration (the free-threaded 3.14: its legacy subinterpreters check it), the
    # subinterpreter gets ImportError from the module's import; with the GIL they skip the check,
    # and the first Tensor imports NumPy there: NumPy refuses a second interpreter (ImportError)
    # or, in older releases, warns and works.
    pytest.importorskip("_testcapi")
    refused = FREE_THREADED and sys.version_info >= (3, 14)
    result = run("""
        import sys, _testcapi, numpy, morla_core
        a = morla_core.Tensor([1.0])
        rc = _testcapi.run_in_subinterp("import morla_core; morla_core.Tensor([3.0]).to_numpy()")
        print("subinterpreter", rc)
        print("done", a.to_numpy(), morla_core.Tensor([1.0]).to_numpy())
    """)
    rc = int(result.stdout.split("subinterpreter ")[1].split()[0])
    if refused:
        assert rc == -1 and "ImportError" in result.stderr and "subinterpreters" in result.stderr
    else:
        assert rc == 0 or ("ImportError" in result.stderr and "more than once" in result.stderr)
    assert result.stdout.strip().endswith(LAST_LINE)


@pytest.mark.parametrize("error, raised", [("KeyboardInterrupt", "KeyboardInterrupt"),
                                           ("MemoryError", "MemoryError"),
                                           ("TypeError", "InternalFailure")])
def test_bfloat16_lookup_lets_interrupts_through(error, raised):
    # numpy.dtype("bfloat16") failing ordinarily means no package provides the dtype (an
    # internal failure that says so); an interrupt or exhaustion is the user's and goes through.
    result = run(f"""
        import ml_dtypes, numpy, morla_core
        real = numpy.dtype
        def dtype(*args, **kwargs):
            if args and args[0] == "bfloat16":
                raise {error}("from the test")
            return real(*args, **kwargs)
        numpy.dtype = dtype
        try:
            morla_core.Tensor([1.0], dtype="bf16")  # the bfloat16 dtype is looked up here
        except BaseException as e:
            print("raised", type(e).__name__)
        numpy.dtype = real  # nothing was cached: the next call looks again
        t = morla_core.Tensor([1.0], dtype="bf16")
        print("done", t.to_numpy().astype("float32"), morla_core.Tensor([1.0]).to_numpy())
    """)
    lines = result.stdout.strip().splitlines()
    assert lines[-2] == f"raised {raised}" and lines[-1] == LAST_LINE
