import gc

import ml_dtypes
import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from morla_core import Tensor

DTYPES = {"f32": np.float32, "f16": np.float16, "bf16": ml_dtypes.bfloat16, "bool": np.bool_}
SHAPE_ERR = "Error while reshape: ShapeError/IncompatibleShape: incompatible shapes"
LAYOUT_ERR = "Error while reshape: ShapeError/IncompatibleLayout: incompatible memory layout"


def row_major(shape):
    if 0 in shape:
        return [0] * len(shape)
    return [int(np.prod(shape[i + 1:], dtype=np.int64)) for i in range(len(shape))]


def make(shape, dtype="f32"):
    data = np.arange(int(np.prod(shape, dtype=np.int64)), dtype=np.float32).reshape(shape)
    if dtype == "bool":
        data = data % 3 == 1
    return data.astype(DTYPES[dtype]), Tensor(data, dtype=dtype)


def internal_failure(call):
    """Runs call, which must end in the internal-failure exception; returns that exception."""
    caught = None
    try:
        call()
    except Exception as error:  # the class must not derive from Exception
        pytest.fail(f"caught as Exception: {type(error).__name__}: {error}")
    except BaseException as error:
        caught = error
    assert caught is not None and type(caught).__bases__ == (BaseException,)
    return caught


# ---- reshape ----

@pytest.mark.parametrize("dtype", list(DTYPES))
@pytest.mark.parametrize(
    "new_shape, strides",
    [([3, 2], [2, 1]), ([6], [1]), ([1, 6, 1], [6, 1, 1]), ([6, 1], [1, 1]), ([2, 3], [3, 1])],
)
def test_reshape_values_and_strides(dtype, new_shape, strides):
    data, t = make([2, 3], dtype)
    r = t.reshape(new_shape)
    assert (r.shape, r.strides, r.dtype) == (new_shape, strides, dtype)
    np.testing.assert_array_equal(r.to_numpy(), data.reshape(new_shape))
    assert t.shape == [2, 3] and t.strides == [3, 1]


@pytest.mark.parametrize(
    "src, dst, strides",
    [([1], [], []), ([], [1, 1], [1, 1]), ([0, 3], [3, 0], [0, 0]), ([0, 3], [0], [0]),
     ([2, 0], [0, 2**40], [0, 0]), ([1, 1, 1], [1], [1])],
)
def test_reshape_edge_shapes(src, dst, strides):
    data, t = make(src)
    r = t.reshape(dst)
    assert (r.shape, r.strides) == (dst, strides)
    np.testing.assert_array_equal(r.to_numpy(), data.reshape(dst))


@pytest.mark.parametrize(
    "src, dst",
    [([2, 3], [4]), ([2, 3], [7]), ([2, 3], []), ([], [2]), ([], [0]), ([0, 3], [1]),
     ([6], [2**64 - 1]), ([0, 3], [0, 2**62, 4]), ([0], [0, 2**63])],
)
def test_reshape_wrong_count(src, dst):
    # the element count of the new shape, with the overflow rule, must match
    with pytest.raises(ValueError) as info:
        make(src)[1].reshape(dst)
    assert str(info.value) == SHAPE_ERR


def transposed(rows, cols, dtype="f32"):
    data, t = make([rows, cols], dtype)
    return data.T, t.transpose(0, 1)


@pytest.mark.parametrize("dtype", list(DTYPES))
@pytest.mark.parametrize("dst, message", [([6], LAYOUT_ERR), ([3, 2], LAYOUT_ERR),
                                          ([2, 3], LAYOUT_ERR), ([4], SHAPE_ERR), ([3, 3], SHAPE_ERR)])
def test_reshape_of_transposed_matrix(dtype, dst, message):
    # the size check comes before the layout check; data is never rearranged
    _, t = transposed(2, 3, dtype)
    with pytest.raises(ValueError) as info:
        t.reshape(dst)
    assert str(info.value) == message


def test_reshape_after_transpose():
    # a transposed row is still row-major (unit axes carry any stride) and reshapes
    data, t = transposed(1, 3)
    assert (t.shape, t.strides) == ([3, 1], [1, 3])
    r = t.reshape([3])
    assert (r.shape, r.strides, r.to_numpy().tolist()) == ([3], [1], data.ravel().tolist())
    # the sum of two transposed matrices is column-major and does not
    data, t = transposed(2, 3)
    with pytest.raises(ValueError, match="^" + LAYOUT_ERR + "$"):
        (t + t).reshape([6])


@settings(max_examples=40, deadline=None)
@given(st.lists(st.integers(1, 4), min_size=0, max_size=4), st.data())
def test_reshape_matches_numpy(shape, draw):
    data, t = make(shape)
    n = data.size
    dst = []
    while n > 1:  # a random factorisation of the element count
        d = draw.draw(st.sampled_from([k for k in range(2, n + 1) if n % k == 0]))
        dst.append(d)
        n //= d
    dst = draw.draw(st.permutations(dst + [1] * draw.draw(st.integers(0, 2))))
    r = t.reshape(dst)
    assert (r.shape, r.strides) == (list(dst), row_major(dst))
    np.testing.assert_array_equal(r.to_numpy(), data.reshape(dst))


def test_results_own_their_elements():
    # the sources are gone and their memory reused before the results are read
    expected = np.arange(24, dtype=np.float32).reshape(2, 3, 4)
    r, tr = Tensor(expected).reshape([4, 6]), Tensor(expected).transpose(0, 2)
    gc.collect()
    noise = [Tensor(np.full((2, 3, 4), -7.0, np.float32)) * 2.0 for _ in range(50)]
    np.testing.assert_array_equal(r.to_numpy(), expected.reshape(4, 6))
    np.testing.assert_array_equal(tr.to_numpy(), expected.transpose(2, 1, 0))
    np.testing.assert_array_equal((r * 2.0).reshape([2, 3, 4]).to_numpy(), expected * 2)
    del noise


# ---- transpose ----

@pytest.mark.parametrize("dtype", list(DTYPES))
@pytest.mark.parametrize(
    "shape, dims, new_shape, strides",
    [([2, 3], (0, 1), [3, 2], [1, 3]), ([2, 3], (1, 0), [3, 2], [1, 3]),
     ([2, 3], (1, 1), [2, 3], [3, 1]), ([2, 3, 4], (0, 2), [4, 3, 2], [1, 4, 12]),
     ([2, 3, 4], (2, 1), [2, 4, 3], [12, 1, 4]), ([0, 3], (0, 1), [3, 0], [0, 0]),
     ([5], (0, 0), [5], [1])],
)
def test_transpose(dtype, shape, dims, new_shape, strides):
    data, t = make(shape, dtype)
    r = t.transpose(*dims)
    assert (r.shape, r.strides, r.dtype) == (new_shape, strides, dtype)
    np.testing.assert_array_equal(r.to_numpy(), np.swapaxes(data, *dims))


@pytest.mark.parametrize("shape, dims, rank, index",
                         [([2, 3], (0, 2), 2, 2), ([2, 3], (5, 7), 2, 5), ([2, 3], (1, 9), 2, 9),
                          ([], (0, 0), 0, 0), ([4], (0, 1), 1, 1)])
def test_transpose_axis_out_of_range(shape, dims, rank, index):
    t = make(shape)[1]
    error = internal_failure(lambda: t.transpose(*dims))
    assert error.args == (f"index out of bounds: the len is {rank} but the index is {index}",)
    assert t.reshape(shape).shape == shape  # the tensor is still usable


# ---- zeros_like / ones_like ----

@pytest.mark.parametrize("dtype, one_bits", [("f32", 0x3F800000), ("f16", 0x3C00), ("bf16", 0x3F80), ("bool", 1)])
@pytest.mark.parametrize("shape", [[2, 3], [], [2, 0], [4, 1, 3]])
def test_zeros_and_ones_like(dtype, one_bits, shape):
    _, t = make(shape, dtype)
    if len(shape) >= 2:
        t = t.transpose(0, len(shape) - 1)  # the operand's strides are not kept
    for op, bits in (("zeros_like", 0), ("ones_like", one_bits)):
        r = getattr(t, op)()
        assert (r.shape, r.strides, r.dtype, r.requires_grad) == (t.shape, row_major(t.shape), dtype, False)
        out = r.to_numpy()
        raw = out.view(np.uint8 if dtype == "bool" else np.uint32 if dtype == "f32" else np.uint16)
        assert out.shape == tuple(t.shape) and np.all(raw == bits)


# ---- gradient flag ----

@pytest.mark.parametrize("flag", [False, True])
def test_shape_ops_keep_the_gradient_flag(flag):
    t = Tensor(np.ones((2, 3), np.float32), requires_grad=flag)
    assert t.reshape([6]).requires_grad is flag
    assert t.transpose(0, 1).requires_grad is flag
    assert t.zeros_like().requires_grad is False and t.ones_like().requires_grad is False
    Tensor.clear_graph()


# ---- argument conversion ----

@pytest.mark.parametrize(
    "call, strides",
    [(lambda t: t.reshape((3, 2)), [2, 1]), (lambda t: t.reshape([3, 2]), [2, 1]),
     (lambda t: t.reshape(shape=[3, 2]), [2, 1]), (lambda t: t.reshape(range(3, 1, -1)), [2, 1]),
     (lambda t: t.reshape(np.array([3, 2])), [2, 1]), (lambda t: t.reshape([np.int8(3), True + 1]), [2, 1]),
     (lambda t: t.transpose(dim1=1, dim0=0), [1, 3]), (lambda t: t.transpose(np.int64(1), dim1=False), [1, 3])],
)
def test_accepted_arguments(call, strides):
    data, t = make([2, 3])
    r = call(t)
    assert (r.shape, r.strides) == ([3, 2], strides)
    np.testing.assert_array_equal(r.to_numpy(), data.reshape(3, 2) if strides == [2, 1] else data.T)


class Edit:
    """An extent whose __index__ first edits the list it is in."""

    def __init__(self, value, edit):
        self.value, self.edit = value, edit

    def __index__(self):
        self.edit()
        return self.value


class Backwards(list):
    def __iter__(self):
        return reversed(self)


class BackwardsTuple(tuple):
    def __iter__(self):
        return reversed(self)


def edited(items, edit):
    """items with an Edit of value 2 in front that applies edit to the whole list."""
    extents = []
    extents.extend([Edit(2, lambda: edit(extents)), *items])
    return extents


# Extents are read as the object's own iterator reads them: a list's length anew at every step.
# Each run makes its own list, which the read edits.
@pytest.mark.parametrize(
    "extents",
    [lambda: edited([3, 99], lambda e: e.pop()), lambda: edited([], lambda e: e.append(3)),
     lambda: Backwards([3, 2]), lambda: BackwardsTuple((3, 2))],
)
def test_extents_as_iterated(extents):
    r = make([2, 3])[1].reshape(extents())
    assert (r.shape, r.strides) == ([2, 3], [3, 1])


@pytest.mark.parametrize(
    "call, exc, name",
    [(lambda t: t.reshape("23"), TypeError, "shape"), (lambda t: t.reshape(6), TypeError, "shape"),
     (lambda t: t.reshape(None), TypeError, "shape"), (lambda t: t.reshape({2: 3}), TypeError, "shape"),
     (lambda t: t.reshape(iter([2, 3])), TypeError, "shape"), (lambda t: t.reshape([2.0, 3]), TypeError, "shape"),
     (lambda t: t.reshape(["2", 3]), TypeError, "shape"), (lambda t: t.reshape([-1, 6]), OverflowError, "shape"),
     (lambda t: t.reshape([2**64, 1]), OverflowError, "shape"), (lambda t: t.transpose("a", 1), TypeError, "dim0"),
     (lambda t: t.transpose(0, 1.0), TypeError, "dim1"), (lambda t: t.transpose(-1, 0), OverflowError, "dim0"),
     (lambda t: t.transpose(0, 2**64), OverflowError, "dim1")],
)
def test_rejected_arguments(call, exc, name):
    with pytest.raises(exc) as info:
        call(make([2, 3])[1])
    assert type(info.value) is exc
    assert info.value.__notes__ == [f"while processing '{name}'"]


def test_wrong_arity():
    t = make([2, 3])[1]
    with pytest.raises(TypeError, match=r"^Tensor\.reshape\(\) missing 1 required positional argument: 'shape'$"):
        t.reshape()
    for call in (lambda: t.transpose(0), lambda: t.reshape([6], [6]), lambda: t.ones_like(1)):
        with pytest.raises(TypeError):
            call()
