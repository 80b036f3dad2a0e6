import math
import operator

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from hypothesis.extra import numpy as hnp

from morla_core import Tensor
from test_elementwise import BITS, NP, assert_same, elements

CMP = {"==": operator.eq, ">=": operator.ge, ">": operator.gt, "<=": operator.le, "<": operator.lt}
# f64 values whose rounding to f32 then to the 16-bit type differs from rounding once
DOUBLE_ROUNDING = [1 + 2**-11 + 2**-30, 1 + 2**-8 + 2**-30, -(2048 + 1 + 2**-20), 65519.999, 1e40, -1e40]
scalars = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([0.1, 0.0, -0.0, 3.0, 1.5, 2048.0, 1e-45, 7e-46, *DOUBLE_ROUNDING]),
    st.integers(-3000, 3000).map(lambda v: v / 4),
)


def to_elem(s, name):
    """A Python number as the kernels see it: rounded to float32, then to the element type."""
    with np.errstate(over="ignore"):
        return np.float32(s).astype(NP[name])


@st.composite
def operands(draw, name):
    shape = draw(hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=4))
    arr = draw(hnp.arrays(BITS[name], shape, elements=elements(name))).view(NP[name])
    if arr.ndim >= 2 and draw(st.booleans()):
        return Tensor(np.swapaxes(arr, 0, -1), dtype=name).transpose(0, arr.ndim - 1), arr
    return Tensor(arr, dtype=name), arr


@pytest.mark.parametrize("name", ["f32", "f16", "bf16"])
@settings(max_examples=80, deadline=None)
@given(data=st.data(), s=scalars)
def test_scalar_ops_match_numpy(name, data, s):
    t, x = data.draw(operands(name))
    e = to_elem(s, name)
    with np.errstate(all="ignore"):
        recip = (np.float32(1) / np.float32(s)).astype(NP[name])
        cases = {
            "t + s": (t + s, x + e),
            "s + t": (s + t, x + e),
            "t - s": (t - s, x - e),
            "t * s": (t * s, x * e),
            "s * t": (s * t, x * e),
            "t / s": (t / s, x * recip),
        }
        for sym, op in CMP.items():
            cases[f"t {sym} s"] = (op(t, s), op(x, e))
    for label, (r, want) in cases.items():
        assert r.shape == list(x.shape) and r.strides == t.strides, label
        assert r.dtype == ("bool" if want.dtype == np.bool_ else name), label
        assert_same(r.to_numpy(), np.asarray(want), name)


@pytest.mark.parametrize("name", ["f32", "f16", "bf16"])
@settings(max_examples=40, deadline=None)
@given(data=st.data())
def test_number_divided_by_tensor(name, data):
    t, x = data.draw(operands(name))
    # numbers exact in every element type, so the result does not depend on where s is rounded
    s = data.draw(st.sampled_from([1.0, -2.0, 3.0, 0.375, 0.0, -0.0, math.inf, math.nan, 1000.0]))
    r = s / t
    with np.errstate(all="ignore"):
        want = NP[name](s) / x
    assert r.shape == list(x.shape) and r.dtype == name
    assert_same(r.to_numpy(), np.asarray(want), name)


@pytest.mark.parametrize(
    "name, value, s, want",
    [
        ("f32", 5.0, 3, 1.6666667461395264),
        ("f16", 5.0, 3, 1.666015625),
        ("bf16", 5.0, 3, 1.671875),
        ("f32", 1.0, 0.0, math.inf),
        ("f32", -1.0, 0.0, -math.inf),
        ("f16", -1.0, -0.0, math.inf),
        ("f16", 0.0, 0.0, math.nan),
    ],
)
def test_division_multiplies_by_float32_reciprocal(name, value, s, want):
    got = float((Tensor([value], dtype=name) / s).to_numpy()[0])
    assert got == want or (math.isnan(want) and math.isnan(got))


@pytest.mark.parametrize(
    "name, s, want",
    [
        ("f16", 1 + 2**-11 + 2**-30, 1.0),  # float32 holds the tie exactly; ties to even
        ("bf16", 1 + 2**-8 + 2**-30, 1.0),
        ("f32", 1 + 2**-24, 1.0),
        ("f16", 70000.0, math.inf),
        ("f32", 1e40, math.inf),
        ("f32", -1e40, -math.inf),
    ],
)
def test_scalar_rounds_through_float32(name, s, want):
    assert float((Tensor([0.0], dtype=name) + s).to_numpy()[0]) == want


@pytest.mark.parametrize("name", ["f32", "f16", "bf16"])
def test_comparison_scalar_rounds_to_element_type(name):
    t = Tensor([0.1, 0.2, -0.1], dtype=name)
    assert (t == 0.1).to_numpy().tolist() == [True, False, False]
    assert (t <= 0.1).to_numpy().tolist() == [True, False, True]
    assert (t > 0.1).to_numpy().tolist() == [False, True, False]


@pytest.mark.parametrize("name", ["f32", "f16", "bf16"])
@pytest.mark.parametrize("sym", list(CMP))
def test_nan_scalar_compares_false(name, sym):
    t = Tensor([[-math.inf, 0.0], [math.nan, math.inf]], dtype=name).transpose(0, 1)
    r = CMP[sym](t, math.nan)
    assert r.dtype == "bool" and r.strides == [1, 2]
    assert not r.to_numpy().any()


def test_large_scalar_gives_infinity_for_finite_elements():
    t = Tensor([1.0, -3.4e38, math.inf, -math.inf, math.nan])
    out = (t + 1e40).to_numpy()
    assert out[:3].tolist() == [math.inf] * 3 and np.isnan(out[3:]).all()


ARITH_BOOL = [
    (lambda b: b + 1.0, "add"),
    (lambda b: 1.0 + b, "add"),
    (lambda b: b - 1.0, "sub"),
    (lambda b: b * 2.0, "product"),
    (lambda b: 2.0 * b, "product"),
    (lambda b: b / 2.0, "product"),
    (lambda b: 2.0 / b, "product"),
]


@pytest.mark.parametrize("fn, word", ARITH_BOOL)
def test_bool_scalar_arithmetic_is_refused(fn, word):
    b = Tensor([True, False], dtype="bool")
    with pytest.raises(ValueError) as info:
        fn(b)
    assert type(info.value) is ValueError
    assert info.value.args == (f"Tensor DType invalid during scalar {word}. Cannot operate between Bool and scalar.",)
    assert b.to_numpy().tolist() == [True, False]


@pytest.mark.parametrize(
    "fn, sym",
    [
        *[(lambda b, op=op: op(b, 1.0), sym) for sym, op in CMP.items()],
        (lambda b: 1.0 < b, ">"),
        (lambda b: 1.0 >= b, "<="),
        (lambda b: b.__rgt__(1.0), "<"),
        (lambda b: b.__rlt__(1.0), ">"),
        (lambda b: b.__req__(1.0), "=="),
    ],
)
def test_bool_scalar_comparison_is_refused(fn, sym):
    b = Tensor([True, False], dtype="bool")
    with pytest.raises(RuntimeError) as info:
        fn(b)
    assert type(info.value) is RuntimeError
    assert info.value.args == (f"Tensor device or dtype mismatch for scalar {sym} operation.",)
