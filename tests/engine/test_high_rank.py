# Operations on arrays of many axes: more than an array keeps the lengths and strides of inside
# itself, up to NumPy's 32. The other suites compute on four axes or fewer.
import numpy as np
import pytest

from morla_core import Tensor


@pytest.fixture(autouse=True)
def clean_tape():
    Tensor.clear_graph()
    yield
    Tensor.clear_graph()


def shape_of(rank):
    """Every third axis of length 2 (at most ten of them), the rest of length 1."""
    long_axes = [axis for axis in range(rank) if axis % 3 == 0][:10]
    return tuple(2 if axis in long_axes else 1 for axis in range(rank))


def values(shape, start=0):
    return (np.arange(int(np.prod(shape)), dtype=np.float32) + start).reshape(shape) % 7 - 3


def swapped(array):
    """A tensor equal to array, stored with its first and last axes exchanged."""
    n = array.ndim
    t = Tensor(np.ascontiguousarray(np.swapaxes(array, 0, n - 1))).transpose(0, n - 1)
    assert t.shape == list(array.shape)
    return t


def expect(got, want):
    np.testing.assert_array_equal(got.to_numpy(), want)
    assert got.shape == list(want.shape)


def broadcast(x):
    lower = values(x.shape[3:], start=5)
    expect(swapped(x) + Tensor(lower), x + lower)
    expect(Tensor(lower) * swapped(x), lower * x)
    expect(swapped(x) >= Tensor(x), x >= x)


def scalar(x):
    expect(swapped(x) * 2.0 - 1.0, x * 2 - 1)


def reshape(x):
    flat = Tensor(x).reshape([x.size])
    expect(flat, x.reshape(-1))
    expect(flat.reshape(list(x.shape)), x)


def matmul(x):
    a = values(x.shape[1:] + (3,))  # a result converts to NumPy with at most 32 axes
    b = values((3, 2), start=1)
    expect(Tensor(a) @ Tensor(b), a @ b)


def gradient(x):
    lower = values(x.shape[3:], start=5)
    a = Tensor(x, requires_grad=True)
    b = Tensor(lower, requires_grad=True)
    (a * b).backward()
    np.testing.assert_array_equal(a.grad(), np.broadcast_to(lower, x.shape), strict=True)
    np.testing.assert_array_equal(b.grad(), x, strict=True)  # gradients keep the broadcast shape


@pytest.mark.parametrize("rank", [7, 12, 32])
@pytest.mark.parametrize("case", [broadcast, scalar, reshape, matmul, gradient])
def test_many_axes(case, rank):
    case(values(shape_of(rank)))
