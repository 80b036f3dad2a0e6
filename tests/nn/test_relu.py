import ml_dtypes
import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import morla_core
from morla_core import Tensor

relu = morla_core.nn.functional.relu  # nn.functional is reachable only as an attribute

NP = {"f32": np.float32, "f16": np.float16, "bf16": ml_dtypes.bfloat16}
BITS = {"f32": np.uint32, "f16": np.uint16, "bf16": np.uint16}


@pytest.fixture(autouse=True)
def clean_tape():
    Tensor.clear_graph()
    yield
    Tensor.clear_graph()


def from_bits(dtype, patterns):
    return Tensor(np.array(patterns, BITS[dtype]).view(NP[dtype]), dtype=dtype)


def out_bits(t):
    return t.to_numpy().view(BITS[t.dtype]).tolist()


@pytest.mark.parametrize("dtype", list(NP))
def test_values(dtype):
    r = relu(Tensor([-2.0, -0.0, 0.0, 3.5, np.nan, np.inf, -np.inf], dtype=dtype))
    out = r.to_numpy().astype(np.float32)
    assert r.dtype == dtype and r.shape == [7]
    np.testing.assert_array_equal(out, [0, 0, 0, 3.5, 0, np.inf, 0])
    assert not np.signbit(out).any()


@pytest.mark.parametrize(
    "dtype, patterns, expected",
    [("f16", [0x8001, 0x7E00, 0x3C00, 0x0001, 0x7C00, 0xFC00, 0xFE00, 0x7C01, 0x8000, 0x7BFF],
      [0, 0, 0x3C00, 0x0001, 0x7C00, 0, 0, 0, 0, 0x7BFF]),
     ("bf16", [0x7F80, 0x7FC0, 0xFFC0, 0x7F81, 0x8001, 0x0001, 0x3F80, 0xBF80, 0x7F7F],
      [0x7F80, 0, 0, 0, 0, 0x0001, 0x3F80, 0, 0x7F7F]),
     ("f32", [0x7FC00000, 0x7F800001, 0x80000001, 0x00000001, 0x7F7FFFFF, 0xFF800000],
      [0, 0, 0, 0x00000001, 0x7F7FFFFF, 0])],
)
def test_bit_patterns(dtype, patterns, expected):
    # NaNs of either sign (quiet or signalling) and every negative value give +0; subnormals pass
    assert out_bits(relu(from_bits(dtype, patterns))) == expected


@settings(max_examples=40, deadline=None)
@given(st.sampled_from(["f16", "bf16"]), st.lists(st.integers(0, 0xFFFF), min_size=1, max_size=64))
def test_16_bit_patterns_against_numpy(dtype, patterns):
    values = np.array(patterns, np.uint16).view(NP[dtype])
    wide = values.astype(np.float32)
    expected = np.where(wide > 0, values.view(np.uint16), 0).astype(np.uint16)
    assert out_bits(relu(Tensor(values, dtype=dtype))) == expected.tolist()


@pytest.mark.parametrize("dtype", list(NP))
@pytest.mark.parametrize("shape, dims", [([2, 3], (0, 1)), ([2, 3, 4], (0, 2)), ([2, 0], (0, 1)), ([], None)])
def test_layout(dtype, shape, dims):
    data = (np.arange(int(np.prod(shape)), dtype=np.float32) - 3).reshape(shape)
    t = Tensor(data, dtype=dtype)
    if dims:
        t, data = t.transpose(*dims), np.swapaxes(data, *dims)
    r = relu(t)
    # the input's elements form one gap-free block, so its strides are kept
    assert (r.shape, r.strides, r.dtype) == (t.shape, t.strides, dtype)
    np.testing.assert_array_equal(r.to_numpy().astype(np.float32), np.maximum(data, 0))


def test_keyword_argument():
    r = relu(py_tensor=Tensor([-1.0, 1.0]))
    np.testing.assert_array_equal(r.to_numpy(), [0.0, 1.0])


@pytest.mark.parametrize("arg", [3, [1.0, -1.0], np.array([1.0]), None])
def test_rejects_non_tensors(arg):
    with pytest.raises(TypeError) as info:
        relu(arg)
    assert type(info.value) is TypeError
    assert info.value.__notes__ == ["while processing 'py_tensor'"]


@pytest.mark.parametrize("requires_grad", [False, True])
def test_bool_is_rejected(requires_grad):
    with pytest.raises(TypeError) as info:
        relu(Tensor([True, False], dtype="bool", requires_grad=requires_grad))
    assert str(info.value) == "Tensor Dtype not supported for this operation: relu"


@pytest.mark.parametrize("dtype", list(NP))
def test_gradient_flag_and_backward(dtype):
    assert relu(Tensor([1.0], dtype=dtype)).requires_grad is False
    x = Tensor([-1.0, 2.0, 0.0, -0.0], dtype=dtype, requires_grad=True)
    y = relu(x)
    assert y.requires_grad is True
    y.backward()
    g = x.grad()
    assert g.dtype == NP[dtype]
    np.testing.assert_array_equal(g.astype(np.float32), [0.0, 1.0, 0.0, 0.0])
