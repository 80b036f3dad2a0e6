import math
import operator

import ml_dtypes
import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from hypothesis.extra import numpy as hnp

from morla_core import Tensor

NP = {"f32": np.float32, "f16": np.float16, "bf16": ml_dtypes.bfloat16, "bool": np.bool_}
BITS = {"f32": np.uint32, "f16": np.uint16, "bf16": np.uint16}
QUIET = {"f32": 0x00400000, "f16": 0x0200, "bf16": 0x0040}
ARITH = {"+": operator.add, "-": operator.sub, "*": operator.mul, "/": operator.truediv}
CMP = {"==": operator.eq, ">=": operator.ge, ">": operator.gt, "<=": operator.le, "<": operator.lt}
OPS = {**ARITH, **CMP}

SPECIAL = [0.0, -0.0, math.inf, -math.inf, math.nan, -math.nan, 1.0, -1.0, 2.0, 3.0, 0.5, 2048.0,
           60000.0, 65504.0, 6e-8, -6e-8, 1e-40, 3.0e38, -3.0e38, 1.1754942e-38, 0.1]


def elements(name):
    """Bit patterns: raw random bits, special values and small multiples of 1/8 (rounding ties)."""
    bits, dt = BITS[name], NP[name]

    def to_bits(v):
        with np.errstate(over="ignore"):
            return int(np.array(v, np.float32).astype(dt).view(bits))

    return st.one_of(
        st.integers(0, np.iinfo(bits).max),
        st.sampled_from(SPECIAL).map(to_bits),
        st.integers(-40000, 40000).map(lambda v: to_bits(v / 8)),
        st.integers(-5000, 5000).map(to_bits),
    )


FIXED_PAIRS = [((), ()), ((), (2, 3)), ((4, 1, 5), (3, 1)), ((0, 3), (3,)), ((0,), (1,)),
               ((1,), ()), ((2, 1), (1, 3)), ((3,), (2, 3)), ((2, 0, 1), (1, 3))]
shape_pairs = st.one_of(
    st.sampled_from(FIXED_PAIRS),
    hnp.mutually_broadcastable_shapes(num_shapes=2, min_dims=0, max_dims=3, min_side=0, max_side=4)
    .map(lambda r: tuple(r.input_shapes)),
)


def make(draw, name, shape):
    """Returns (tensor, logical numpy array); sometimes the tensor is a transposed layout."""
    if name == "bool":
        arr = draw(hnp.arrays(np.bool_, shape))
    else:
        arr = draw(hnp.arrays(BITS[name], shape, elements=elements(name))).view(NP[name])
    if len(shape) >= 2 and draw(st.booleans()):
        i, j = draw(st.sampled_from([(i, j) for j in range(len(shape)) for i in range(j)]))
        return Tensor(np.swapaxes(arr, i, j), dtype=name).transpose(i, j), arr
    return Tensor(arr, dtype=name), arr


def assert_same(got, want, name):
    """Bit-exact comparison; NaNs only need to agree on NaN-ness and be quiet."""
    assert got.dtype == want.dtype and got.shape == want.shape
    if name == "bool" or want.dtype == np.bool_:
        np.testing.assert_array_equal(got, want)
        return
    gnan, wnan = np.isnan(got.astype(np.float32)), np.isnan(want.astype(np.float32))
    np.testing.assert_array_equal(gnan, wnan)
    gb, wb = got.view(BITS[name]), want.view(BITS[name])
    np.testing.assert_array_equal(gb[~gnan], wb[~wnan])
    assert np.all(gb[gnan] & QUIET[name])


def _prod(xs):
    return math.prod(xs) if xs else 1


def row_strides(shape):
    return [0] * len(shape) if 0 in shape else [_prod(shape[k + 1:]) for k in range(len(shape))]


def col_strides(shape):
    return [0] * len(shape) if 0 in shape else [_prod(shape[:k]) for k in range(len(shape))]


def laid_out(shape, order, dtype="f32"):
    """A float32 tensor of the given shape, ascending values, stored as order says:
    "row" (row-major), "col" (every axis reversed in memory: transposes of a row-major array),
    or "mid" (the last two axes exchanged: neither row- nor column-major, no axis leaning)."""
    values = (np.arange(_prod(shape)).reshape(shape) + 1).astype(NP[dtype])
    if dtype == "bool":
        values = (np.arange(_prod(shape)).reshape(shape) % 3 == 1)
    if order == "row":
        return Tensor(values, dtype=dtype), values
    if order == "mid":
        swapped = np.ascontiguousarray(np.swapaxes(values, -1, -2))
        return Tensor(swapped, dtype=dtype).transpose(len(shape) - 2, len(shape) - 1), values
    stored = Tensor(np.ascontiguousarray(values.T), dtype=dtype)  # reversed axes, row-major
    n = len(shape)
    for i in range(n // 2):  # reverse the axes back by swapping pairs
        stored = stored.transpose(i, n - 1 - i)
    return stored, values


# Where element-wise results go, written out case by case: two column-major operands give a
# column-major result; a column-major matrix plus a row broadcast over it leans column-major
# (-2 + 1); a column-major and a row-major matrix balance out to row-major; a column of length >1
# broadcast along rows leans column-major (stride 1 first); a rank-0 or one-dimensional operand
# does not vote.
LAYOUT_CASES = [
    # (a shape, a order, b shape, b order, result order)
    ((2, 3), "row", (2, 3), "row", "row"),
    ((2, 3), "col", (2, 3), "col", "col"),
    ((2, 3), "col", (3,), "row", "col"),
    ((2, 3), "col", (1, 3), "row", "col"),
    ((2, 3), "col", (2, 3), "row", "row"),
    ((2, 3), "row", (2, 3), "col", "row"),
    ((2, 3), "col", (2, 1), "row", "col"),
    ((2, 3), "col", (), "row", "col"),
    ((2, 3), "row", (), "row", "row"),
    ((3,), "row", (2, 1), "row", "row"),
    ((2, 1), "row", (1, 3), "row", "row"),
    ((2, 1), "row", (), "row", "row"),
    ((2, 1), "row", (2, 3), "col", "col"),
    ((3, 1), "col", (3, 4), "col", "col"),
    ((3, 1), "col", (3, 4), "row", "row"),
    ((2, 3, 4), "col", (2, 3, 4), "col", "col"),
    ((2, 3, 4), "col", (2, 3, 4), "mid", "col"),
    ((2, 3, 4), "mid", (2, 3, 4), "mid", "row"),
    ((2, 3, 4), "mid", (2, 3, 4), "row", "row"),
    ((2, 3, 4), "col", (4,), "row", "col"),
    ((2, 3, 4), "mid", (4,), "row", "row"),
    ((2, 3, 4), "mid", (2, 1, 1), "row", "col"),
    ((2, 3, 4), "mid", (1, 1, 4), "row", "row"),
    ((2, 3, 4), "col", (2, 3, 4), "row", "row"),
    ((1, 5), "col", (1, 5), "col", "row"),
    ((5, 1), "col", (5, 1), "col", "row"),
    ((0, 3), "col", (0, 3), "col", "zero"),
    # one row-major operand repeated along the other's leading axes
    ((2, 3, 4), "row", (3, 4), "row", "row"),
    ((4,), "row", (2, 3, 4), "row", "row"),
    ((1, 5), "row", (5,), "row", "row"),
    ((5,), "row", (3, 1, 5), "row", "row"),
    ((0, 3), "row", (3,), "row", "zero"),
    ((2, 0), "row", (0,), "row", "zero"),
    ((2, 3), "row", (1, 3), "row", "row"),
    ((2, 3, 4), "mid", (3, 4), "row", "row"),
]


@pytest.mark.parametrize("a_shape, a_order, b_shape, b_order, order", LAYOUT_CASES)
@pytest.mark.parametrize("sym", ["+", "*", "<"])
def test_result_memory_order(a_shape, a_order, b_shape, b_order, order, sym):
    ta, a = laid_out(a_shape, a_order)
    tb, b = laid_out(b_shape, b_order)
    r = OPS[sym](ta, tb)
    want = OPS[sym](a, b)
    shape = list(want.shape)
    expected = {"row": row_strides(shape), "col": col_strides(shape), "zero": [0] * len(shape)}[order]
    assert r.shape == shape and r.strides == expected
    np.testing.assert_array_equal(r.to_numpy(), want)


@pytest.mark.parametrize("name", ["f16", "bf16", "f32"])
@pytest.mark.parametrize("a_shape, b_shape", [((1023, 2051), (2051,)), ((2051,), (1023, 2051)),
                                              ((3, 700001), (3, 700001)), ((300001,), ()),
                                              ((), (300001,)), ((300001, 1), (1,)), ((100001, 3), (3,))])
def test_large_outputs_in_blocks_match_numpy(name, a_shape, b_shape):
    # Outputs this large bypass the caches; blocks of odd length start anywhere in a line; one
    # element or a short block repeated runs as a number operand or against a tile of copies.
    rng = np.random.default_rng(7)
    a = (rng.standard_normal(a_shape) * 100).astype(NP[name])
    b = (rng.standard_normal(b_shape) * 100).astype(NP[name])
    for sym in ("+", "-", "*", "/", "<"):
        got = OPS[sym](Tensor(a, dtype=name), Tensor(b, dtype=name)).to_numpy()
        with np.errstate(all="ignore"):
            want = OPS[sym](a, b)
        assert_same(got, np.asarray(want), "bool" if sym == "<" else name)


@pytest.mark.parametrize("name", ["f32", "f16", "bf16", "bool"])
@settings(max_examples=60, deadline=None)
@given(data=st.data())
def test_matches_numpy_bit_for_bit(name, data):
    sa, sb = data.draw(shape_pairs)
    ta, a = make(data.draw, name, sa)
    tb, b = make(data.draw, name, sb)
    ops = dict(CMP) if name == "bool" else {**ARITH, **CMP}
    with np.errstate(all="ignore"):
        for sym, op in ops.items():
            r = op(ta, tb)
            want = op(a, b)
            assert r.shape == list(want.shape), sym
            assert r.dtype == (name if sym in ARITH else "bool"), sym
            # the memory order itself is pinned case by case above
            assert r.strides in (row_strides(list(want.shape)), col_strides(list(want.shape))), sym
            assert_same(r.to_numpy(), np.asarray(want), name)


@pytest.mark.parametrize(
    "name, a, sym, b, want",
    [
        ("f16", 2048, "+", 1, 2048),
        ("f16", 2048, "+", 3, 2052),
        ("f16", 60000, "*", 2, math.inf),
        ("bf16", 1, "/", 0, math.inf),
        ("bf16", 256, "+", 1, 256),
        ("f32", 0, "/", 0, math.nan),
        ("f16", 0, "/", 0, math.nan),
        ("bf16", 0, "/", 0, math.nan),
        ("f16", 6e-8, "*", 0.5, 0.0),
        ("f16", 6e-8, "/", 2, 0.0),
        ("f16", -6e-8, "*", 0.5, -0.0),
    ],
)
def test_rounding_examples(name, a, sym, b, want):
    got = ARITH[sym](Tensor([a], dtype=name), Tensor([b], dtype=name)).to_numpy()[0]
    got = float(got)
    if math.isnan(want):
        assert math.isnan(got)
    else:
        assert got == want and math.copysign(1, got) == math.copysign(1, want)


@pytest.mark.parametrize("name", ["f32", "f16", "bf16"])
def test_signed_zero_and_nan_comparisons(name):
    a = Tensor([math.nan, -0.0, 0.0, math.nan], dtype=name)
    b = Tensor([math.nan, 0.0, -0.0, 1.0], dtype=name)
    assert (a == b).to_numpy().tolist() == [False, True, True, False]
    assert (a >= b).to_numpy().tolist() == [False, True, True, False]
    assert (a < b).to_numpy().tolist() == [False, False, False, False]


def test_bool_ordering_is_false_below_true():
    a = Tensor([[False], [True]], dtype="bool")
    b = Tensor([False, True], dtype="bool")
    assert (a > b).to_numpy().tolist() == [[False, False], [True, False]]
    assert (a <= b).to_numpy().tolist() == [[True, True], [False, True]]
    assert (a == b).to_numpy().tolist() == [[True, False], [False, True]]


def _mat(order):
    base = Tensor(np.arange(6, dtype=np.float32).reshape(2, 3))
    return base.transpose(0, 1) if order == "T" else Tensor(np.arange(6, dtype=np.float32).reshape(3, 2))


@pytest.mark.parametrize(
    "left, right, strides",
    [
        ("T", "T", [1, 3]),
        ("C", "T", [2, 1]),
        ("T", "C", [2, 1]),
        ("C", "C", [2, 1]),
        ("T", "row", [1, 3]),
        ("row", "T", [1, 3]),
        ("T", "col", [1, 3]),
        ("C", "col", [2, 1]),
        ("row", "col", [2, 1]),
        ("T", "scalar", [1, 3]),
    ],
)
def test_output_memory_order(left, right, strides):
    extra = {"row": Tensor([10.0, 20.0]), "col": Tensor([[1.0], [2.0], [3.0]]), "scalar": Tensor(5.0)}
    ta = extra.get(left) or _mat(left)
    tb = extra.get(right) or _mat(right)
    r = ta + tb
    assert r.shape == [3, 2] and r.strides == strides
    np.testing.assert_array_equal(r.to_numpy(), ta.to_numpy() + tb.to_numpy())
    assert (ta < tb).strides == strides


@pytest.mark.parametrize("sa, sb", [((0, 3), (3,)), ((4, 0), (1, 0)), ((0,), ())])
def test_empty_results_have_zero_strides(sa, sb):
    a = Tensor(np.zeros(sa[::-1], np.float32))
    a = a.transpose(0, a.ndim - 1) if a.ndim > 1 else a  # same shape as sa when rank <= 2
    r = a * Tensor(np.ones(sb, np.float32))
    assert r.strides == [0] * r.ndim and r.to_numpy().size == 0
    assert (a >= Tensor(np.ones(sb, np.float32))).strides == [0] * r.ndim


def _raises(fn, exc, msg, *operands):
    before = [(t.shape, t.strides, t.dtype, t.to_numpy().tobytes()) for t in operands]
    with pytest.raises(exc) as info:
        fn()
    assert type(info.value) is exc and info.value.args == (msg,)
    assert [(t.shape, t.strides, t.dtype, t.to_numpy().tobytes()) for t in operands] == before


@pytest.mark.parametrize("sym", list(ARITH))
@pytest.mark.parametrize("left, right", [("f32", "f16"), ("f16", "f32"), ("bf16", "f16"), ("bool", "f32"), ("f32", "bool")])
def test_arithmetic_dtype_mismatch(sym, left, right):
    a, b = Tensor([1.0, 2.0], dtype=left), Tensor([[1.0], [2.0]], dtype=right).transpose(0, 1)
    up = {"f32": "F32", "f16": "F16", "bf16": "BF16", "bool": "Bool"}
    msg = f"Tensor DType mismatch during binary execution. Cannot operate between {up[left]} and {up[right]}."
    _raises(lambda: ARITH[sym](a, b), ValueError, msg, a, b)


@pytest.mark.parametrize("sym", list(ARITH))
def test_bool_arithmetic_is_a_type_error(sym):
    a, b = Tensor([True, False], dtype="bool"), Tensor([True], dtype="bool")
    msg = "Arithmetic operations are not supported for Bool data types. Cast to a numeric type first."
    _raises(lambda: ARITH[sym](a, b), TypeError, msg, a, b)


@pytest.mark.parametrize("sym", list(CMP))
@pytest.mark.parametrize("left, right", [("f32", "bf16"), ("f16", "f32"), ("bool", "f16")])
def test_comparison_dtype_mismatch(sym, left, right):
    a, b = Tensor([1.0, 0.0], dtype=left), Tensor([1.0, 0.0], dtype=right)
    msg = f"Tensor device or dtype mismatch for element-wise {sym} operation."
    _raises(lambda: CMP[sym](a, b), RuntimeError, msg, a, b)


@pytest.mark.parametrize("sym", [*ARITH, *CMP])
@pytest.mark.parametrize(
    "sa, sb, msg",
    [
        ((2, 3), (3, 2), "Shape mismatch: cannot broadcast [2, 3] and [3, 2]"),
        ((0,), (3,), "Shape mismatch: cannot broadcast [0] and [3]"),
        ((0, 2**32, 1), (0, 1, 2**32), "Broadcast failed for A: [0, 4294967296, 1] -> [0, 4294967296, 4294967296]"),
        ((0, 2**32 + 1, 1), (0, 1, 2**32 + 1),
         "Broadcast failed for A: [0, 4294967297, 1] -> [0, 4294967297, 4294967297]"),
        ((0, 2**32, 1), (0, 1, 2**31), "Broadcast failed for A: [0, 4294967296, 1] -> [0, 4294967296, 2147483648]"),
        ((0, 2**31, 1), (0, 1, 2**32), "Broadcast failed for A: [0, 2147483648, 1] -> [0, 2147483648, 4294967296]"),
    ],
)
def test_broadcast_failures(sym, sa, sb, msg):
    a, b = Tensor(np.zeros(sa, np.float32)), Tensor(np.zeros(sb, np.float32))
    _raises(lambda: OPS[sym](a, b), RuntimeError, msg, a, b)


def test_largest_valid_empty_broadcast():
    # 2**31 * (2**32 - 1) stays below 2**63 - 1
    a = Tensor(np.zeros((0, 2**31, 1), np.float32))
    b = Tensor(np.zeros((0, 1, 2**32 - 1), np.float32))
    r = a + b
    assert r.shape == [0, 2**31, 2**32 - 1] and r.strides == [0, 0, 0]
    assert (a == b).shape == [0, 2**31, 2**32 - 1]


@pytest.mark.parametrize("requires_grad", [False, True])
@pytest.mark.parametrize("op", ["+", "-", "*", "/", "@"])
def test_result_too_large_raises_memory_error_and_leaves_operands_intact(op, requires_grad):
    with open("/proc/meminfo") as info:
        if sum(int(line.split()[1]) for line in info if line.startswith(("MemTotal", "SwapTotal"))) * 1024 > 4e10:
            pytest.skip("this machine could hold the 40 GB result")
    a = Tensor(np.ones((100000, 1), np.float32), requires_grad=requires_grad)
    b = Tensor(np.full((1, 100000), 2.0, np.float32))
    with pytest.raises(MemoryError, match=r"^Out of memory: .*40000000000 bytes.*\[100000, 100000\]"):
        {"@": operator.matmul, **ARITH}[op](a, b)
    assert (a.shape, b.shape, a.requires_grad) == ([100000, 1], [1, 100000], requires_grad)
    assert np.all(a.to_numpy() == 1.0) and np.all(b.to_numpy() == 2.0)
    assert np.all((a.reshape([100, 1000]) * 3.0).to_numpy() == 3.0)
    Tensor.clear_graph()
