"""Every entry point leaves its operands' reference counts as it found them, whether it succeeds,
raises or answers NotImplemented, and a new result carries no extra reference."""

import sys

import ml_dtypes
import numpy as np
import pytest
from conftest import INTERNAL, attempt

from morla_core import Tensor, nn

REPEAT = 20
OK = "ok"


class Num:
    def __float__(self):
        return 0.5


class Idx:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Named:  # a dtype argument known by its __name__
    __name__ = property(lambda self: self.value)

    def __init__(self, value):
        self.value = value


def operands():
    """Fresh operands of every kind the entry points take (none of them immortal)."""
    rng = np.random.default_rng(3)
    x = rng.standard_normal((3, 4))
    o = {"t": Tensor(rng.standard_normal((2, 3))), "u": Tensor(rng.standard_normal((2, 3))),
         "g": Tensor(rng.standard_normal((2, 3)), requires_grad=True), "m": Tensor(rng.standard_normal((3, 2))),
         "h": Tensor(rng.standard_normal((2, 3)), dtype="f16"), "b": Tensor(rng.random((2, 3)) < 0.5, dtype="bool"),
         "c": Tensor(rng.random(3) < 0.5, dtype="bool"), "wide": Tensor(np.zeros((2**32, 0), np.float32)),
         "tall": Tensor(np.zeros((0, 2**32), np.float32)), "f": float("1.25"), "n": np.float32(2.0), "num": Num(),
         "k": 2**40, "big": 10**400, "s": "".join("ab"), "l": [1.0, 2.0], "obj": object(), "one": Idx(1),
         "six": Idx(6), "nine": Idx(9), "neg": Idx(-1), "four": Idx(4),
         # construction: arrays of the exact element type (read directly), others NumPy converts, arguments
         "a32": x.astype(np.float32), "a32f": np.asfortranarray(x.astype(np.float32)), "a64": x,
         "a32s": x.astype(np.float32)[::-1, ::2], "a16": x.astype(np.float16), "abf": x.astype(ml_dtypes.bfloat16),
         "abool": x > 0, "ai64": (x * 9).astype(np.int64), "rows": x.tolist(), "ragged": [[1.0], [1.0, 2.0]],
         "npf16": np.dtype("float16"), "named16": Named("".join("float16")), "name_int": 2**70,
         "f16_text": "".join("float16"), "cpu": "".join("CPU"), "cuda": "".join("cuda")}
    o.update(shape=[o["six"]], bad_shape=[o["four"], o["one"]], name16=o["named16"].value,
             named_int=Named(o["name_int"]))
    return o


def backward_then_grad(g, u):
    ((g * u + 1.0).reshape([6])).backward()
    return g.grad()


CASES = {  # an expression over the operands -> OK, the class it raises, or the value it gives
    "t + u": OK, "t + f": OK, "f + t": OK, "n * g": OK, "num / g": OK, "t / num": OK, "g - u": OK, "g @ m": OK,
    "t < u": OK, "t >= f": OK, "t.__rgt__(n)": OK, "(b & c) ^ c | b": OK, "~b": OK, "g.reshape(shape)": OK,
    "g.transpose(one, dim1=0)": OK, "relu(g)": OK, "g.ones_like()": OK, "t.transpose(0, 1).to_numpy()": OK,
    "t.strides": OK, "backward_then_grad(g, u)": OK,
    "g + h": ValueError, "b * c": TypeError, "b - f": ValueError, "g / m": RuntimeError, "t == h": RuntimeError,
    "t != h": RuntimeError, "t & u": RuntimeError, "g @ t": RuntimeError, "~g": RuntimeError,
    "g.reshape(bad_shape)": ValueError, "t.reshape(shape=[k, k])": ValueError, "t.reshape([neg])": OverflowError,
    "t.reshape([big])": OverflowError, "t.reshape(s)": TypeError, "t.reshape(obj)": TypeError,
    "g.transpose(neg, 0)": OverflowError, "t.transpose(0, f)": TypeError, "g.transpose(0, nine)": INTERNAL,
    "relu(b)": TypeError, "relu(py_tensor=l)": TypeError, "t.backward()": ValueError, "wide @ tall": MemoryError,
    "t.__req__(s)": TypeError,
    # answered NotImplemented by the module
    "t + s": TypeError, "g + big": TypeError, "f - t": TypeError, "t @ f": TypeError, "b & l": TypeError,
    "t < obj": TypeError, "t == None": False, "g == l": False, "t != obj": True, "t != k": False,
    # construction
    "Tensor(a32)": OK, "Tensor(a32f, dtype=f16_text)": OK, "Tensor(a32s, requires_grad=True)": OK,
    "Tensor(a16, dtype=npf16)": OK, "Tensor(abf, dtype=ml_dtypes.bfloat16)": OK, "Tensor(abool, dtype=bool)": OK,
    "Tensor(a64, dtype=named16)": OK, "Tensor(ai64, device=cpu)": OK, "Tensor(rows, dtype='bf16')": OK,
    "Tensor(a32, device=cuda)": ValueError, "Tensor(a32, device=None)": TypeError, "Tensor(a16, dtype=s)": ValueError,
    "Tensor(a32, requires_grad=one)": TypeError, "Tensor(a32, dtype=obj)": TypeError, "Tensor(abf, dtype=float)":
    ValueError, "Tensor(a64, dtype=named_int)": TypeError, "Tensor(ragged)": ValueError, "Tensor(rows[0][0])": OK,
}
SCOPE = {"relu": nn.functional.relu, "backward_then_grad": backward_then_grad, "Tensor": Tensor, "ml_dtypes": ml_dtypes}


@pytest.mark.parametrize("expression, outcome", CASES.items(), ids=list(CASES))
def test_operands_keep_their_reference_counts(expression, outcome):
    code, o = compile(expression, expression, "eval"), operands()
    counts = lambda: {name: sys.getrefcount(value) for name, value in o.items()}  # noqa: E731
    before = counts()
    probe = object()
    sole = sys.getrefcount(probe)  # what an object held by one local reports
    for _ in range(REPEAT):
        result, raised = attempt(lambda: eval(code, SCOPE, o))
        if outcome is OK:
            assert raised is None
            if isinstance(result, (Tensor, np.ndarray, list)):
                assert sys.getrefcount(result) == sole, "a new result carries an extra reference"
        else:
            assert (raised, result) == ((outcome, None) if isinstance(outcome, type) else (None, outcome))
        assert counts() == before, "the result holds on to an operand"
        del result
    Tensor.clear_graph()
    assert counts() == before


def test_instances_leave_the_class_count_alone(fresh_python):
    """Dropping an instance must not give its class reference back to the class's shared count:
    on the free-threaded build making one counts it on the thread's own tally, and every
    thread's deallocations would contend for that one count. In a process of its own, since
    another thread's exit or a collection adds the tallies to the count."""
    result = fresh_python(
        "import sys, numpy as np\nfrom morla_core import Tensor\n"
        "a = Tensor(np.ones(3, np.float32)); before = sys.getrefcount(Tensor)\n"
        "for _ in range(1000): a + a\nprint(sys.getrefcount(Tensor) - before)")
    assert (result.returncode, result.stdout.strip()) == (0, "0"), result.stderr
