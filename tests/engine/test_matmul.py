import re

import ml_dtypes
import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from morla_core import Tensor

NP = {"f32": np.float32, "f16": np.float16, "bf16": ml_dtypes.bfloat16, "bool": np.bool_}


def row_major(shape):
    if 0 in shape:
        return [0] * len(shape)
    return [int(np.prod(shape[i + 1:], dtype=np.int64)) for i in range(len(shape))]


def tensor(values, dtype="f32", transposed=False):
    """A tensor holding values; when transposed, it is stored with its last two axes swapped."""
    values = np.asarray(values).astype(NP[dtype])
    if not transposed:
        return Tensor(values, dtype=dtype)
    n = values.ndim
    t = Tensor(np.ascontiguousarray(np.swapaxes(values, -1, -2)), dtype=dtype).transpose(n - 2, n - 1)
    assert t.shape == list(values.shape)
    return t


def bits(array):
    array = np.asarray(array)
    return array.view({4: np.uint32, 2: np.uint16}[array.dtype.itemsize])


def assert_f32_close(got, a, b):
    # error bound of a float32 sum of K products, against the exact (float64) product
    a64, b64 = a.astype(np.float64), b.astype(np.float64)
    k = a.shape[-1]
    bound = (k + 2) * 2.0**-24 * (np.abs(a64) @ np.abs(b64)) + 1e-37
    assert got.dtype == np.float32 and got.shape == (a64 @ b64).shape
    assert np.all(np.abs(got.astype(np.float64) - a64 @ b64) <= bound)


def short_significands(x):
    return (x.view(np.uint32) & np.uint32(0xFFFFF000)).view(np.float32)


def blocked_reference(a, b):
    """float32 products summed in order: each block of 256 from 0.0, then the blocks one after another."""
    a, b = a.astype(np.float32), b.astype(np.float32)
    prods = a[:, :, None] * b[None, :, :]
    out = np.zeros((a.shape[0], b.shape[1]), np.float32)
    for start in range(0, a.shape[1], 256):
        block = np.add.accumulate(prods[:, start:start + 256, :], axis=1, dtype=np.float32)[:, -1, :]
        out = block if start == 0 else (out + block).astype(np.float32)
    return out


def check_narrowed(dtype, a, b, got):
    """A 16-bit product is the module's own float32 product of the widened operands, rounded once."""
    wide = (Tensor(a.astype(np.float32)) @ Tensor(b.astype(np.float32))).to_numpy()
    want = wide.astype(NP[dtype])
    assert got.dtype == NP[dtype] and got.shape == want.shape
    nan = np.isnan(want.astype(np.float32))
    assert np.array_equal(np.isnan(got.astype(np.float32)), nan)
    assert np.array_equal(bits(got)[~nan], bits(want)[~nan])


@pytest.mark.parametrize(
    "a_shape, b_shape, out_shape",
    [([2, 3], [3, 4], [2, 4]), ([5, 2, 3], [3, 4], [5, 2, 4]), ([2, 3], [5, 3, 4], [5, 2, 4]),
     ([2, 1, 2, 3], [4, 3, 5], [2, 4, 2, 5]), ([1, 3, 1, 2], [2, 1, 2, 2], [2, 3, 1, 2]),
     ([1, 1], [1, 1], [1, 1])],
)
@pytest.mark.parametrize("dtype", ["f32", "f16", "bf16"])
def test_batch_broadcasting(dtype, a_shape, b_shape, out_shape):
    rng = np.random.default_rng(len(a_shape) * 10 + len(b_shape))
    a = rng.uniform(-2, 2, a_shape).astype(NP[dtype])
    b = rng.uniform(-2, 2, b_shape).astype(NP[dtype])
    r = tensor(a, dtype) @ tensor(b, dtype)
    assert (r.shape, r.strides, r.dtype, r.requires_grad) == (out_shape, row_major(out_shape), dtype, False)
    got = r.to_numpy()
    if dtype == "f32":
        assert_f32_close(got, a, b)
    else:
        check_narrowed(dtype, a, b, got)


@settings(max_examples=60, deadline=None)
@given(
    dtype=st.sampled_from(["f32", "f16", "bf16"]),
    batch=st.lists(st.sampled_from([0, 1, 2, 3]), max_size=3),
    mask=st.lists(st.tuples(st.booleans(), st.booleans()), min_size=3, max_size=3),
    mkn=st.tuples(st.integers(0, 9), st.integers(0, 12), st.integers(0, 9)),
    flips=st.tuples(st.booleans(), st.booleans()),
    seed=st.integers(0, 2**32 - 1),
)
def test_matches_reference(dtype, batch, mask, mkn, flips, seed):
    # batch axes dropped or set to 1 on either side must broadcast back to batch
    a_batch = [1 if m[0] else n for n, m in zip(batch, mask)]
    b_batch = [1 if m[1] else n for n, m in zip(batch, mask)][len(batch) // 2:]
    m, k, n = mkn
    rng = np.random.default_rng(seed)
    a = rng.uniform(-4, 4, a_batch + [m, k]).astype(NP[dtype])
    b = rng.uniform(-4, 4, b_batch + [k, n]).astype(NP[dtype])
    r = tensor(a, dtype, flips[0]) @ tensor(b, dtype, flips[1])
    out_shape = list(np.broadcast_shapes(tuple(a_batch), tuple(b_batch))) + [m, n]
    assert (r.shape, r.strides, r.dtype) == (out_shape, row_major(out_shape), dtype)
    got = r.to_numpy()
    if dtype == "f32":
        assert_f32_close(got, a, b)
        # the layout of an operand never changes the values
        plain = (tensor(a) @ tensor(b)).to_numpy()
        assert np.array_equal(bits(got), bits(plain))
    else:
        check_narrowed(dtype, a, b, got)


@pytest.mark.parametrize(
    "m, k, n", [(11, 1, 6), (11, 7, 6), (11, 255, 6), (11, 256, 6), (11, 257, 6), (11, 258, 6),
                (11, 512, 6), (11, 513, 6), (11, 1000, 6), (67, 300, 9), (3, 300, 1030)],
)
@pytest.mark.parametrize("flip", [False, True])
def test_shared_length_summation_order(m, k, n, flip):
    # bit-exact against the blocked order, whatever the row/column blocking and operand layout.
    # Significands of 12 bits make every product exact, so a fused multiply-add and a rounded
    # product followed by a rounded sum agree, and only the order of the sums shows.
    rng = np.random.default_rng(k * n)
    a = short_significands(rng.standard_normal((m, k)).astype(np.float32))
    b = short_significands(rng.standard_normal((k, n)).astype(np.float32))
    got = (tensor(a, transposed=flip) @ tensor(b, transposed=flip)).to_numpy()
    assert_f32_close(got, a, b)
    assert np.array_equal(bits(got), bits(blocked_reference(a, b)))


def test_blocks_of_256_are_summed_separately():
    # products: 2**24, 1, zeros..., 1, 1 (at 256 and 257).  Within the first block the 1 is lost
    # (2**24 + 1 rounds to 2**24); the second block sums to 2 and survives: 2**24 + 2.
    # A single running sum gives 2**24, the exact sum rounds to 2**24 + 4.
    a = np.zeros((1, 258), np.float32)
    b = np.zeros((258, 1), np.float32)
    a[0, [0, 1, 256, 257]] = [4096, 1, 1, 1]
    b[[0, 1, 256, 257], 0] = [4096, 1, 1, 1]
    got = (Tensor(a) @ Tensor(b)).to_numpy()
    assert got[0, 0] == np.float32(2**24 + 2)


@pytest.mark.parametrize("dtype, k, value", [("f16", 4097, 4096.0), ("bf16", 259, 260.0),
                                             ("f16", 2049, 2048.0), ("f16", 2051, 2052.0)])
def test_16_bit_products_accumulate_in_f32(dtype, k, value):
    r = (Tensor(np.ones((1, k)), dtype=dtype) @ Tensor(np.ones((k, 1)), dtype=dtype)).to_numpy()
    assert r.dtype == NP[dtype] and r.shape == (1, 1) and float(r[0, 0]) == value


@pytest.mark.parametrize("dtype", ["f32", "f16", "bf16"])
@pytest.mark.parametrize(
    "a_shape, b_shape, out_shape",
    [([2, 0], [0, 3], [2, 3]), ([0, 3], [3, 4], [0, 4]), ([2, 3], [3, 0], [2, 0]),
     ([0, 2, 3], [3, 4], [0, 2, 4]), ([3, 1, 2, 0], [0, 0, 5], [3, 0, 2, 5]), ([0, 0], [0, 0], [0, 0])],
)
def test_zero_length_axes(dtype, a_shape, b_shape, out_shape):
    a = Tensor(np.full(a_shape, np.nan), dtype=dtype)
    b = Tensor(np.full(b_shape, np.nan), dtype=dtype)
    r = a @ b
    assert (r.shape, r.strides, r.dtype) == (out_shape, row_major(out_shape), dtype)
    got = r.to_numpy()
    assert got.shape == tuple(out_shape) and np.all(bits(got) == 0)  # +0.0 everywhere


def test_result_shape_beyond_the_largest_is_refused_even_empty():
    a, b = Tensor(np.zeros((0, 2**32, 0))), Tensor(np.zeros((0, 2**32)))
    with pytest.raises(MemoryError, match=re.escape("a tensor of shape [0, 4294967296, 4294967296] is too large")):
        a @ b



@pytest.mark.parametrize(
    "a_shape, a_dtype, b_shape, b_dtype, exc, message",
    [([2, 3], "f32", [3, 4], "f16", ValueError,
      "Tensor DType mismatch during binary execution. Cannot operate between F32 and F16."),
     ([2, 3], "bool", [3, 4], "f32", ValueError,
      "Tensor DType mismatch during binary execution. Cannot operate between Bool and F32."),
     ([3], "f16", [5], "bf16", ValueError,
      "Tensor DType mismatch during binary execution. Cannot operate between F16 and BF16."),
     ([2, 3], "bool", [3, 4], "bool", TypeError,
      "Arithmetic operations are not supported for Bool data types. Cast to a numeric type first."),
     ([3], "bool", [5], "bool", TypeError,
      "Arithmetic operations are not supported for Bool data types. Cast to a numeric type first."),
     ([3], "f32", [3, 4], "f32", RuntimeError, "Matmul requires at least 2D tensors. A: 1D, B: 2D"),
     ([3], "f32", [4, 5], "f32", RuntimeError, "Matmul requires at least 2D tensors. A: 1D, B: 2D"),
     ([2, 3], "f16", [3], "f16", RuntimeError, "Matmul requires at least 2D tensors. A: 2D, B: 1D"),
     ([], "bf16", [], "bf16", RuntimeError, "Matmul requires at least 2D tensors. A: 0D, B: 0D"),
     ([2, 3], "f32", [4, 5], "f32", RuntimeError, "Matrix inner dimensions mismatch for matmul: 3 vs 4"),
     ([2, 4, 5], "f32", [3, 6, 7], "f32", RuntimeError, "Matrix inner dimensions mismatch for matmul: 5 vs 6"),
     ([2, 0], "f32", [3, 0], "f32", RuntimeError, "Matrix inner dimensions mismatch for matmul: 0 vs 3"),
     ([2, 4, 5], "f32", [3, 5, 6], "f32", RuntimeError, "Shape mismatch: cannot broadcast [2] and [3]"),
     ([2, 2, 4, 5], "bf16", [3, 1, 5, 6], "bf16", RuntimeError,
      "Shape mismatch: cannot broadcast [2, 2] and [3, 1]"),
     ([0, 2, 3], "f32", [2, 3, 4], "f32", RuntimeError, "Shape mismatch: cannot broadcast [0] and [2]")],
)
def test_errors(a_shape, a_dtype, b_shape, b_dtype, exc, message):
    a = Tensor(np.zeros(a_shape), dtype=a_dtype)
    b = Tensor(np.zeros(b_shape), dtype=b_dtype)
    with pytest.raises(exc) as info:
        a @ b
    assert type(info.value) is exc and str(info.value) == message


def test_matmul_whose_result_size_overflows_raises_memory_error():
    a, b = Tensor(np.zeros((2**32, 0), np.float32)), Tensor(np.zeros((0, 2**32), np.float32))
    with pytest.raises(MemoryError, match="^Out of memory: "):
        a @ b
    assert a.shape == [2**32, 0] and b.shape == [0, 2**32]
    with pytest.raises(RuntimeError, match="^Broadcast failed for A"):  # element count beyond a signed word
        a.reshape([2**62, 1, 0]) + Tensor(np.zeros((4, 1), np.float32))
