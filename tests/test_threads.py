import textwrap

import ml_dtypes
import numpy as np

from conftest import run_in_threads
from morla_core import Tensor

THREADS = 8


def test_concurrent_construction_attributes_and_conversion():
    rng = np.random.default_rng(0)
    sources = [rng.standard_normal((7, 5)).astype(np.float32) for _ in range(THREADS)]
    shared = Tensor(sources[0].T, dtype="bf16", requires_grad=True)
    expected_shared = sources[0].T.astype(ml_dtypes.bfloat16)

    def work(index):
        for round_ in range(200):
            spelling = ["f32", "f16", "bf16", "bool"][round_ % 4]
            t = Tensor(sources[index], dtype=spelling, requires_grad=round_ % 2 == 0)
            assert t.shape == [7, 5] and t.strides == [5, 1] and t.dtype == spelling
            np.testing.assert_array_equal(t.to_numpy(), sources[index].astype(t.to_numpy().dtype))
            assert t.grad() is None
            np.testing.assert_array_equal(shared.to_numpy(), expected_shared)
            assert shared.shape == [5, 7] and shared.grad() is None
            if round_ % 50 == 0:
                Tensor.clear_graph()

    run_in_threads(work)


def test_concurrent_first_use(fresh_python):
    # every one-time set-up (NumPy's table, the bfloat16 dtype) raced by eight threads at once
    code = textwrap.dedent(
        """
        import threading, ml_dtypes, morla_core
        barrier = threading.Barrier(8)
        out = []
        def work(i):
            barrier.wait()
            t = morla_core.Tensor([1.0, 2.0], dtype=["bf16", "f32"][i % 2])
            out.append(t.to_numpy().tolist())
        threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
        [t.start() for t in threads]; [t.join() for t in threads]
        print(sorted(map(str, out)))
        """
    )
    result = fresh_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.count("[1.0, 2.0]") == 8
