import threading

import ml_dtypes
import numpy as np
import pytest
from hypothesis import given, strategies as st
from hypothesis.extra import numpy as hnp

from conftest import INTERNAL
from morla_core import Tensor

ALL_16_BIT = np.arange(1 << 16, dtype=np.uint32).astype(np.uint16)


@pytest.mark.parametrize("dtype, spelling", [(np.float16, "f16"), (ml_dtypes.bfloat16, "bf16")])
def test_every_16_bit_pattern_round_trips(dtype, spelling):
    # subnormals, infinities, signed zeros and every NaN payload, signalling ones included
    source = ALL_16_BIT.view(dtype)
    out = Tensor(source, dtype=spelling).to_numpy()
    assert out.dtype == np.dtype(dtype)
    np.testing.assert_array_equal(out.view(np.uint16), ALL_16_BIT)


@given(hnp.arrays(np.uint32, hnp.array_shapes(min_dims=0, max_dims=4, min_side=0, max_side=5)))
def test_float32_bit_patterns_round_trip(bits):
    out = Tensor(bits.view(np.float32)).to_numpy()
    np.testing.assert_array_equal(out.view(np.uint32), bits)


def row_major_strides(shape):
    return [int(np.prod(shape[axis + 1 :])) if 0 not in shape else 0 for axis in range(len(shape))]


def layouts():
    base = np.arange(24, dtype=np.float32).reshape(2, 3, 4)
    return {
        "fortran": np.asfortranarray(base),
        "negative": base[::-1, :, ::-2],
        "sliced": base[:, 1:, ::2],
        "permuted": base.transpose(2, 0, 1),
        "broadcast": np.broadcast_to(base[:1], (5, 3, 4)),
        "rank0": np.float32(7.5),
        "column": np.arange(6.0).reshape(2, 3).T,
        "large": np.arange(3 * 128 * 64, dtype=np.float32).reshape(3, 128, 64) % 1000,  # past 16 KiB
    }


@pytest.mark.parametrize("name", list(layouts()))
@pytest.mark.parametrize("spelling, dtype", [("f32", np.float32), ("f16", np.float16), ("bf16", ml_dtypes.bfloat16)])
def test_any_layout_is_copied_row_major(name, spelling, dtype):
    source = layouts()[name]
    t = Tensor(source, dtype=spelling)
    expected = np.asarray(source).astype(dtype)
    assert t.shape == list(expected.shape)
    assert t.strides == row_major_strides(expected.shape)
    out = t.to_numpy()
    assert out.flags.c_contiguous and out.flags.owndata and out.flags.writeable
    np.testing.assert_array_equal(out, expected)


def test_fortran_float64_input():
    source = np.asfortranarray(np.arange(6, dtype=np.float64).reshape(2, 3))
    t = Tensor(source)
    assert t.strides == [3, 1]
    np.testing.assert_array_equal(t.to_numpy(), source)


def test_independent_of_source_and_of_results():
    source = np.array([1.0, 2.0, 3.0], dtype=np.float32)
    t = Tensor(source)
    source[0] = 100.0
    first = t.to_numpy()
    first[1] = -5.0
    np.testing.assert_array_equal(t.to_numpy(), [1.0, 2.0, 3.0])
    assert not np.shares_memory(first, t.to_numpy())


def test_large_results_own_their_memory_wherever_they_are_freed():
    n = 1 << 16
    out = Tensor(np.arange(n, dtype=np.float32)).to_numpy()
    out.resize(2 * n, refcheck=False)  # only an array that owns its memory can
    assert np.array_equal(out[:n], np.arange(n)) and not out[n:].any()
    out.resize(n // 3, refcheck=False)
    assert np.array_equal(out, np.arange(n // 3))
    results = [Tensor(np.full(n, i, np.float32)).to_numpy() for i in range(8)]
    freeing = threading.Thread(target=results.clear)  # freed on another thread than made them
    freeing.start()
    freeing.join()
    assert all(np.all(Tensor(np.full(n, i, np.float32)).to_numpy() == i) for i in range(8))


def test_bool_bytes_are_normalised():
    raw = np.array([0, 1, 2, 255], dtype=np.uint8).view(np.bool_)
    out = Tensor(raw, dtype="bool").to_numpy()
    np.testing.assert_array_equal(out.view(np.uint8), [0, 1, 1, 1])


@pytest.mark.parametrize("shape", [(0,), (3, 0), (0, 2, 5), (1, 0, 1)])
def test_empty_shapes(shape):
    t = Tensor(np.zeros(shape, dtype=np.float16), dtype="f16")
    assert t.shape == list(shape) and t.strides == [0] * len(shape)
    out = t.to_numpy()
    assert out.shape == shape and out.dtype == np.float16


def test_many_axes():
    source = np.arange(2.0).reshape((1,) * 30 + (2,))
    np.testing.assert_array_equal(Tensor(source).to_numpy(), source)


# The block copy takes at most 32 axes; NumPy's own refusal (past its 64) is an internal failure
# too, on the element-by-element path as well: the conversion fails by nothing else. (A gradient
# is converted as to_numpy() converts.)
@pytest.mark.parametrize("read, rank, transposed, message", [
    ("to_numpy", 33, False, "at most 32 axes can be converted to a NumPy array"),
    ("grad", 33, False, "at most 32 axes can be converted to a NumPy array"),
    ("to_numpy", 64, False, "at most 32 axes can be converted to a NumPy array"),
    ("grad", 70, False, "at most 32 axes can be converted to a NumPy array"),
    ("to_numpy", 70, True, "NumPy could not make the array: ValueError"),
])
def test_too_many_axes_are_an_internal_failure(read, rank, transposed, message):
    x = Tensor(np.arange(8.0).reshape(2, 2, 2), requires_grad=True).reshape([2, 2, 2] + [1] * (rank - 3))
    x.backward()
    # transposed: neither row- nor column-major, copied element by element
    y = x.transpose(0, 1) if transposed else x
    with pytest.raises(INTERNAL) as raised:
        getattr(y, read)()
    assert str(raised.value).startswith(message)


@given(
    hnp.arrays(
        np.float32,
        hnp.array_shapes(min_dims=1, max_dims=4, min_side=1, max_side=4),
        elements=st.floats(width=32, allow_nan=True, allow_infinity=True),
    ),
    st.data(),
)
def test_strided_views_copy_exactly(array, data):
    slices = tuple(
        slice(None, None, data.draw(st.sampled_from([1, -1, 2, -2]))) for _ in range(array.ndim)
    )
    view = array[slices]
    out = Tensor(view).to_numpy()
    np.testing.assert_array_equal(out.view(np.uint32), np.ascontiguousarray(view).view(np.uint32))
