import re

import ml_dtypes
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from hypothesis.extra import numpy as hnp

from morla_core import Tensor, nn

relu = nn.functional.relu
BF16 = ml_dtypes.bfloat16
DTYPES = {"f32": np.float32, "f16": np.float16, "bf16": BF16}
SPELLINGS = list(DTYPES)
LAYOUT_ERROR = "Error while reshape: ShapeError/IncompatibleLayout: incompatible memory layout"
NO_GRAD = "backward() called on tensor that does not require grad"


@pytest.fixture(autouse=True)
def clean_tape():
    Tensor.clear_graph()
    yield
    Tensor.clear_graph()


def assert_bits(actual, expected):
    """Same dtype, shape and bit patterns (signed zeros told apart); any NaN matches any NaN."""
    expected = np.asarray(expected)
    assert actual is not None
    assert actual.dtype == expected.dtype
    assert actual.shape == expected.shape
    nan = np.isnan(expected.astype(np.float32))
    np.testing.assert_array_equal(np.isnan(actual.astype(np.float32)), nan)
    uint = np.uint32 if expected.itemsize == 4 else np.uint16
    bits = lambda a: np.ascontiguousarray(a).view(uint)[~nan]  # noqa: E731
    np.testing.assert_array_equal(bits(actual), bits(expected))


def narrow(x, dt):
    """A Python number as the engine sees it: rounded to float32, then to the element type."""
    return np.asarray(np.float32(x)).astype(dt)


def weighted_backward(fn, arrays, spelling, weight):
    """Runs fn on tracked tensors and back-propagates from fn(...) * weight, so that the
    gradient entering fn's result is exactly `weight`."""
    tensors = [Tensor(a, dtype=spelling, requires_grad=True) for a in arrays]
    out = fn(*tensors)
    (out * Tensor(weight, dtype=spelling)).backward()
    return out, [t.grad() for t in tensors]


# --- element-wise tensor-tensor operations ---------------------------------------------------

BINARY = {
    "add": (lambda a, b: a + b, lambda g, a, b: (g, g)),
    "sub": (lambda a, b: a - b, lambda g, a, b: (g, -g)),
    "mul": (lambda a, b: a * b, lambda g, a, b: (g * b, g * a)),
    # every product is rounded to the element type before the quotient
    "div": (lambda a, b: a / b, lambda g, a, b: (g / b, ((-g) * a) / (b * b))),
}


def float_arrays(spelling, shape):
    if spelling == "f16":
        return hnp.arrays(np.float16, shape, elements=st.floats(width=16))
    values = hnp.arrays(np.float32, shape, elements=st.floats(width=32))
    return values if spelling == "f32" else values.map(lambda a: a.astype(BF16))


@pytest.mark.parametrize("spelling", SPELLINGS)
@pytest.mark.parametrize("op", list(BINARY))
@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data(), shapes=hnp.mutually_broadcastable_shapes(num_shapes=2, max_dims=3, min_side=0, max_side=3))
def test_elementwise_gradients_match_numpy(op, spelling, data, shapes):
    Tensor.clear_graph()
    forward, oracle = BINARY[op]
    (sa, sb), out_shape = shapes.input_shapes, shapes.result_shape
    a = data.draw(float_arrays(spelling, sa), label="a")
    b = data.draw(float_arrays(spelling, sb), label="b")
    g = data.draw(float_arrays(spelling, out_shape), label="g")
    out, (da, db) = weighted_backward(forward, [a, b], spelling, g)
    with np.errstate(all="ignore"):
        ea, eb = (np.broadcast_to(e, out_shape) for e in oracle(g, a, b))
    # gradients keep the broadcast shape: nothing is summed back to the operand's shape
    assert_bits(da, ea)
    assert_bits(db, eb)
    assert_bits(out.grad(), g)


@pytest.mark.parametrize(
    "spelling, g, a, b, da, db",
    [
        ("f16", 256, 256, 16, 16, -np.inf),  # (-g)*a = -65536 overflows float16 before the quotient
        ("f32", 256, 256, 16, 16, -256),
        ("bf16", 256, 256, 16, 16, -256),
        ("f16", 1, 1, 0, np.inf, -np.inf),
        ("f32", 1, 1, 0, np.inf, -np.inf),
        ("bf16", 1, 1, 0, np.inf, -np.inf),
        ("f16", 1, 0, 0, np.inf, np.nan),
        ("f32", 1, 0, 0, np.inf, np.nan),
    ],
)
def test_quotient_gradient_rounding_and_ieee_cases(spelling, g, a, b, da, db):
    dt = DTYPES[spelling]
    arr = lambda v: np.array([v], dtype=dt)  # noqa: E731
    _, (ga, gb) = weighted_backward(lambda x, y: x / y, [arr(a), arr(b)], spelling, arr(g))
    assert_bits(ga, arr(da))
    assert_bits(gb, arr(db))


def test_quotient_gradient_negates_the_product_in_float32():
    # -(g * a): the sign of a NaN that a carries through is flipped, as a negated product flips it
    nan = np.array([0x7FC00000, 0xFFC00000], np.uint32).view(np.float32)
    _, (_, gb) = weighted_backward(lambda x, y: x / y, [nan, np.float32([2, 2])], "f32", np.float32([1, 1]))
    np.testing.assert_array_equal(gb.view(np.uint32), [0xFFC00000, 0x7FC00000])


@pytest.mark.parametrize(
    "fn, dx, db",
    [
        (lambda x, b: x + b, lambda x, b: np.ones((2, 3)), lambda x, b: np.ones((2, 3))),
        (lambda x, b: x * b, lambda x, b: np.broadcast_to(b, (2, 3)), lambda x, b: x),
        (lambda x, b: x / b, lambda x, b: np.broadcast_to(1 / b, (2, 3)), lambda x, b: -x / (b * b)),
        # b reaches the sum twice, as [2, 3] and as [3]: accumulation broadcasts
        (lambda x, b: x * b + b, lambda x, b: np.broadcast_to(b, (2, 3)), lambda x, b: x + 1),
    ],
    ids=["add", "mul", "div", "mul-then-add"],
)
def test_broadcast_operand_gets_gradient_of_broadcast_shape(fn, dx, db):
    x_np = np.array([[1.0, 2.0, 4.0], [-1.0, 0.5, 8.0]], dtype=np.float32)
    b_np = np.array([2.0, -4.0, 0.25], dtype=np.float32)
    x, b = Tensor(x_np, requires_grad=True), Tensor(b_np, requires_grad=True)
    fn(x, b).backward()
    assert x.grad().shape == (2, 3) and b.grad().shape == (2, 3)
    np.testing.assert_array_equal(x.grad(), dx(x_np, b_np).astype(np.float32))
    np.testing.assert_array_equal(b.grad(), db(x_np, b_np).astype(np.float32))


# --- operations with a Python number ------------------------------------------------------------

SCALAR = {
    "add": (lambda t, x: t + x, lambda g, x, dt: g),
    "radd": (lambda t, x: x + t, lambda g, x, dt: g),
    "sub": (lambda t, x: t - x, lambda g, x, dt: g),
    "mul": (lambda t, x: t * x, lambda g, x, dt: g * narrow(x, dt)),
    "rmul": (lambda t, x: x * t, lambda g, x, dt: g * narrow(x, dt)),
    # the reciprocal is taken once in float32, then rounded to the element type
    "div": (lambda t, x: t / x, lambda g, x, dt: g * narrow(np.float32(1) / np.float32(x), dt)),
}


@pytest.mark.parametrize("spelling", SPELLINGS)
@pytest.mark.parametrize("op", list(SCALAR))
@pytest.mark.parametrize("x", [3.0, 0.1, -2.5, 1e-8, 7e4, 0.0, -0.0])
def test_scalar_operation_gradients(op, spelling, x):
    dt = DTYPES[spelling]
    forward, oracle = SCALAR[op]
    t = np.array([[1.5, -2.0, 0.0], [1e3, np.nan, -np.inf]], dtype=np.float32).astype(dt)
    g = np.array([[0.3, -7.0, 2.0], [1e-3, 5.0, -0.0]], dtype=np.float32).astype(dt)
    _, (dt_grad,) = weighted_backward(lambda u: forward(u, x), [t], spelling, g)
    with np.errstate(all="ignore"):
        assert_bits(dt_grad, oracle(g, x, dt))


@pytest.mark.parametrize("spelling", SPELLINGS)
@pytest.mark.parametrize("x", [2.0, 0.1, -3.0, 0.0])
def test_number_divided_by_tensor_differentiates_as_a_quotient(spelling, x):
    dt = DTYPES[spelling]
    t = np.array([1.0, -2.0, 4.0, 0.0, 3.0, 1e-4], dtype=np.float32).astype(dt)
    g = np.array([1.0, 0.5, -3.0, 2.0, 0.1, 7.0], dtype=np.float32).astype(dt)
    out, (grad,) = weighted_backward(lambda u: x / u, [t], spelling, g)
    c = narrow(x, dt)
    with np.errstate(all="ignore"):
        assert_bits(out.to_numpy(), c / t)
        assert_bits(grad, ((-g) * c) / (t * t))


# --- shape operations, matrix products and relu -------------------------------------------------

SHAPE_CASES = [
    ("reshape", (2, 3), [3, 2]),
    ("reshape", (2, 3, 4), [4, 6]),
    ("reshape", (2, 3), [6]),
    ("reshape", (1,), []),
    ("reshape", (2, 3), [3, 1, 2]),
    ("transpose", (2, 3), (0, 1)),
    ("transpose", (2, 3, 4), (0, 2)),
    ("transpose", (4, 2, 3), (2, 1)),
    ("transpose", (2, 3), (1, 1)),
]


@pytest.mark.parametrize("spelling", SPELLINGS)
@pytest.mark.parametrize("kind, shape, arg", SHAPE_CASES)
def test_shape_operation_gradients(spelling, kind, shape, arg):
    dt = DTYPES[spelling]
    x = np.arange(np.prod(shape), dtype=np.float32).reshape(shape).astype(dt)
    if kind == "reshape":
        fn, out_np = (lambda u: u.reshape(arg)), x.reshape(arg)
    else:
        fn, out_np = (lambda u: u.transpose(*arg)), np.swapaxes(x, *arg)
    g = (np.arange(out_np.size, dtype=np.float32).reshape(out_np.shape) * 0.75 - 1).astype(dt)
    _, (grad,) = weighted_backward(fn, [x], spelling, g)
    assert_bits(grad, g.reshape(shape) if kind == "reshape" else np.swapaxes(g, *arg))


MATMUL_SHAPES = [
    ((2, 3), (3, 4)),
    ((1, 5), (5, 1)),
    ((3, 4), (2, 4, 5)),  # dA gains the batch axis: [2, 3, 4]
    ((2, 3, 4), (4, 5)),
    ((2, 1, 3, 4), (5, 4, 2)),
]


@pytest.mark.parametrize("spelling", SPELLINGS)
@pytest.mark.parametrize("sa, sb", MATMUL_SHAPES)
def test_matmul_gradients(spelling, sa, sb):
    dt = DTYPES[spelling]
    rng = np.random.default_rng(len(sa) * 10 + len(sb))
    # quarter-integers: every float32 sum below is exact, so only the final rounding remains
    dyadic = lambda s: (rng.integers(-9, 10, s) / 4).astype(np.float32)  # noqa: E731
    a, b = dyadic(sa), dyadic(sb)
    out_shape = np.matmul(a, b).shape
    g = dyadic(out_shape)
    _, (da, db) = weighted_backward(lambda x, y: x @ y, [a.astype(dt), b.astype(dt)], spelling, g.astype(dt))
    assert_bits(da, np.matmul(g, np.swapaxes(b, -1, -2)).astype(dt))
    assert_bits(db, np.matmul(np.swapaxes(a, -1, -2), g).astype(dt))


def test_matmul_batch_broadcast_gradient_shapes():
    a = Tensor(np.ones((3, 4)), requires_grad=True)
    b = Tensor(np.ones((2, 4, 5)), requires_grad=True)
    (a @ b).backward()
    assert a.grad().shape == (2, 3, 4)
    assert b.grad().shape == (2, 4, 5)
    np.testing.assert_array_equal(a.grad(), np.full((2, 3, 4), 5, np.float32))
    np.testing.assert_array_equal(b.grad(), np.full((2, 4, 5), 3, np.float32))


@pytest.mark.parametrize("spelling", SPELLINGS)
def test_relu_gradient_passes_where_input_is_positive(spelling):
    dt = DTYPES[spelling]
    tiny = float(ml_dtypes.finfo(dt).smallest_subnormal)
    x = np.array([-1.0, -0.0, 0.0, 2.0, np.nan, np.inf, -np.inf, tiny, -tiny, 3.0, 5.0], np.float32).astype(dt)
    g = np.array([5.0, 5.0, 5.0, -0.0, 5.0, 7.0, 5.0, 0.5, 5.0, np.nan, -2.0], np.float32).astype(dt)
    _, (grad,) = weighted_backward(relu, [x], spelling, g)
    # +0 wherever x is not > 0 (NaN included); g copied unchanged elsewhere, -0 and NaN too
    with np.errstate(invalid="ignore"):  # NaN > 0 is meant: it is not positive
        positive = x > 0
    assert_bits(grad, np.where(positive, g, np.zeros_like(g)))


# --- the whole chain against float64 finite differences ----------------------------------------


def chain(x, y, w, v, relu_fn, swap):
    h = x * y - x / (y * y + 1.5)
    h = 2.0 * (1.0 + h) * 3.0 - 0.25 + 2.0 / (x * x + 1.0)
    h = h / 4.0 - y
    pre = h.reshape([3, 2]) @ w
    return pre, swap(relu_fn(pre)) @ v


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_chain_of_every_operation_matches_finite_differences(seed):
    rng = np.random.default_rng(seed)
    leaves = [rng.uniform(-2, 2, s) for s in [(2, 3), (2, 3), (2, 4), (3, 2)]]
    np_relu, np_swap = (lambda m: np.maximum(m, 0.0)), (lambda m: m.T)
    pre, _ = chain(*leaves, np_relu, np_swap)
    assert np.abs(pre).min() > 1e-3, "input too close to the relu kink for a finite difference"

    tensors = [Tensor(leaf.astype(np.float32), requires_grad=True) for leaf in leaves]
    _, out = chain(*tensors, relu, lambda m: m.transpose(0, 1))
    out.backward()  # seeded with ones: the objective is the sum of the output

    eps = 1e-6
    for which, tensor in enumerate(tensors):
        numeric = np.zeros_like(leaves[which])
        for index in np.ndindex(numeric.shape):
            sums = []
            for step in (eps, -eps):
                moved = [leaf.copy() for leaf in leaves]
                moved[which][index] += step
                sums.append(chain(*moved, np_relu, np_swap)[1].sum())
            numeric[index] = (sums[0] - sums[1]) / (2 * eps)
        np.testing.assert_allclose(tensor.grad(), numeric, rtol=1e-3, atol=1e-3)


# --- accumulation and the gradient slots -----------------------------------------------------


@pytest.mark.parametrize(
    "fn, expected", [(lambda x: x * x, lambda v: 2 * v), (lambda x: x + x, lambda v: np.full_like(v, 2))]
)
def test_same_tensor_on_both_sides_accumulates(fn, expected):
    values = np.array([[1.5, -3.0, 0.0], [7.0, 0.25, -0.5]], dtype=np.float32)
    x = Tensor(values, requires_grad=True)
    y = fn(x)
    y.backward()
    np.testing.assert_array_equal(x.grad(), expected(values))
    # a sum hands its gradient on to both sides shared: summing them must not write into it
    np.testing.assert_array_equal(y.grad(), np.ones_like(values))


def test_second_pass_replaces_instead_of_summing():
    x = Tensor(np.ones((2, 3)), requires_grad=True)
    y = x * 3.0
    y.backward()
    y.backward()
    np.testing.assert_array_equal(x.grad(), np.full((2, 3), 3.0, np.float32))
    np.testing.assert_array_equal(y.grad(), np.ones((2, 3), np.float32))


def test_passes_fill_intermediates_and_leave_other_slots_alone():
    x = Tensor([1.0, -2.0], requires_grad=True)
    y = x * 2.0
    z = y * 3.0
    z.backward()
    np.testing.assert_array_equal(y.grad(), [3.0, 3.0])
    np.testing.assert_array_equal(x.grad(), [6.0, 6.0])
    later = y + 1.0  # recorded after y, never reached
    y.backward()
    np.testing.assert_array_equal(x.grad(), [2.0, 2.0])
    np.testing.assert_array_equal(y.grad(), [1.0, 1.0])
    np.testing.assert_array_equal(z.grad(), [1.0, 1.0])  # slot above y's id unchanged
    assert later.grad() is None
    # a leaf's own pass writes ones into its slot only
    x.backward()
    np.testing.assert_array_equal(x.grad(), [1.0, 1.0])
    np.testing.assert_array_equal(y.grad(), [1.0, 1.0])
    np.testing.assert_array_equal(z.grad(), [1.0, 1.0])


def test_leaf_backward_seeds_ones_of_its_type_and_shape():
    a = Tensor(np.zeros((2, 1, 3)), dtype="bf16", requires_grad=True)
    b = Tensor([4.0, 5.0], dtype="f16", requires_grad=True)
    (b * 2.0).backward()
    a.backward()
    assert_bits(a.grad(), np.ones((2, 1, 3), BF16))
    assert_bits(b.grad(), np.array([2.0, 2.0], np.float16))


# --- failing passes ----------------------------------------------------------------------------


FAILING_PASSES = [
    # the gradient reaching the reshape is transposed, so it cannot be reshaped back
    (lambda x: x.reshape([3, 2]).transpose(0, 1), ValueError, LAYOUT_ERROR),
    # gradients are never summed back, so a later broadcast enlarges what reaches the product
    (lambda x: x.reshape([3, 2]) @ Tensor(np.ones((2, 1))) + Tensor(np.ones((3, 5))), RuntimeError,
     "Matrix inner dimensions mismatch for matmul: 5 vs 1"),
    (lambda x: relu(x.reshape([6])) + Tensor(np.ones((2, 6))), RuntimeError,
     "Shape mismatch in relu_backward: grad [2, 6] vs input [6]"),
]


@pytest.mark.parametrize("build, error, message", FAILING_PASSES, ids=["reshape", "matmul", "relu"])
def test_failing_pass_keeps_earlier_gradients(build, error, message):
    x = Tensor(np.arange(6.0).reshape(2, 3), requires_grad=True)
    first = x * 2.0
    first.backward()
    y = build(x)
    with pytest.raises(error, match=f"^{re.escape(message)}$"):
        y.backward()
    np.testing.assert_array_equal(x.grad(), np.full((2, 3), 2.0, np.float32))
    np.testing.assert_array_equal(first.grad(), np.ones((2, 3), np.float32))
    assert y.grad() is None
    first.backward()  # the tape is still usable
    np.testing.assert_array_equal(x.grad(), np.full((2, 3), 2.0, np.float32))


@pytest.mark.parametrize(
    "make",
    [
        lambda: Tensor([1.0, 2.0]),
        lambda: Tensor([1.0, 2.0], requires_grad=True) > 1.5,
        lambda: Tensor([1.0, 2.0], requires_grad=True) == Tensor([1.0, 3.0], requires_grad=True),
        lambda: Tensor([1.0, 2.0], requires_grad=True).ones_like(),
    ],
    ids=["untracked", "scalar-comparison", "comparison", "ones_like"],
)
def test_backward_needs_a_tracked_tensor(make):
    t = make()
    with pytest.raises(ValueError, match=f"^{re.escape(NO_GRAD)}$"):
        t.backward()
    assert t.grad() is None


def test_backward_on_a_tensor_cleared_from_the_tape():
    x = Tensor([1.0, 2.0], requires_grad=True)
    y = x * 2.0
    z = y * 3.0
    z.backward()
    Tensor.clear_graph()
    assert x.grad() is None and z.grad() is None
    with pytest.raises(RuntimeError, match="autograd tape"):
        z.backward()
    assert z.grad() is None
    # a new, shorter tape: z's id (2) is beyond it, and the failing call changes nothing
    p = Tensor([5.0], requires_grad=True)
    q = p * 4.0
    q.backward()
    with pytest.raises(RuntimeError, match="autograd tape"):
        z.backward()
    np.testing.assert_array_equal(p.grad(), [4.0])
    np.testing.assert_array_equal(q.grad(), [1.0])
    assert z.grad() is None
