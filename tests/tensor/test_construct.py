import sys
import threading
import types

import ml_dtypes
import numpy as np
import pytest

from morla_core import Tensor


@pytest.mark.parametrize(
    "data, shape, strides",
    [
        ([[1, 2, 3], [4, 5, 6]], [2, 3], [3, 1]),
        (3.5, [], []),
        ([], [0], [0]),
        (np.zeros((2, 0, 3)), [2, 0, 3], [0, 0, 0]),
        (np.ones((4, 1, 2)), [4, 1, 2], [2, 2, 1]),
    ],
)
def test_attributes(data, shape, strides):
    t = Tensor(data)
    assert (t.shape, t.strides, t.ndim) == (shape, strides, len(shape))
    assert (t.dtype, t.device, t.requires_grad) == ("f32", "cpu", False)
    out = t.to_numpy()
    assert out.dtype == np.float32 and out.shape == tuple(shape)
    np.testing.assert_array_equal(out, np.asarray(data, dtype=np.float32))


def test_attribute_lists_are_fresh():
    t = Tensor([[1.0, 2.0]])
    t.shape.append(9)
    t.strides.clear()
    assert t.shape == [1, 2] and t.strides == [2, 1]
    assert t.shape is not t.shape


@pytest.mark.parametrize(
    "dtype, name, numpy_dtype",
    [
        (None, "f32", np.float32),
        ("f32", "f32", np.float32),
        ("float32", "f32", np.float32),
        (np.float32, "f32", np.float32),
        ("f16", "f16", np.float16),
        ("float16", "f16", np.float16),
        (np.float16, "f16", np.float16),
        (np.dtype("float16"), "f16", np.float16),
        ("bf16", "bf16", ml_dtypes.bfloat16),
        ("bfloat16", "bf16", ml_dtypes.bfloat16),
        (ml_dtypes.bfloat16, "bf16", ml_dtypes.bfloat16),
        (np.dtype(ml_dtypes.bfloat16), "bf16", ml_dtypes.bfloat16),
        ("bool", "bool", np.bool_),
        (bool, "bool", np.bool_),
        (np.bool_, "bool", np.bool_),
    ],
)
def test_dtype_spellings(dtype, name, numpy_dtype):
    t = Tensor([0.0, 1.5, -2.0], dtype=dtype)
    assert t.dtype == name
    out = t.to_numpy()
    assert out.dtype == np.dtype(numpy_dtype)
    np.testing.assert_array_equal(out, np.array([0.0, 1.5, -2.0], dtype=numpy_dtype))
    assert Tensor(out, dtype=t.dtype).dtype == name  # the attribute is itself a spelling


class StrName(str):
    pass


@pytest.mark.parametrize(
    "dtype, text",
    [
        ("Float32", "Float32"),
        ("float", "float"),
        ("float64", "float64"),
        ("int32", "int32"),
        ("b16", "b16"),
        ("", ""),
        (float, "float"),
        (int, "int"),
        (np.float64, "float64"),
        (np.dtype("int8"), "int8"),
        (StrName("F16"), "F16"),
        ("f32\0x", "f32\0x"),  # quoted whole, past a NUL
        ("f32\udc80", "f32\udc80"),  # not encodable: no spelling, still a ValueError
        (StrName("bf\0"), "bf\0"),
    ],
)
def test_rejected_spellings(dtype, text):
    with pytest.raises(ValueError) as info:
        Tensor([1.0], dtype=dtype)
    assert str(info.value) == f"Unsupported or invalid data type: '{text}'"


def test_str_subclass_spelling_accepted():
    assert Tensor([1.0], dtype=StrName("f16")).dtype == "f16"


def test_dtype_name_must_be_str():
    class Odd:
        __name__ = 3

    with pytest.raises(TypeError):
        Tensor([1.0], dtype=Odd())


def test_dtype_numpy_cannot_interpret_raises_numpys_error():
    with pytest.raises(TypeError):
        Tensor([1.0], dtype=object())


@pytest.mark.parametrize("device", ["cpu", "CPU", "Cpu", "cPU"])
def test_device_accepted(device):
    assert Tensor([1.0], device=device).device == "cpu"


@pytest.mark.parametrize("device", ["cuda", "", "cpu ", "cpu0"])
def test_device_rejected_before_dtype(device):
    with pytest.raises(ValueError) as info:
        Tensor([1.0], device=device, dtype="float64")
    assert str(info.value) == "The device string is invalid or not supported."


@pytest.mark.parametrize(
    "kwargs, note",
    [
        ({"device": None}, "while processing 'device'"),
        ({"device": b"cpu"}, "while processing 'device'"),
        ({"requires_grad": 1}, "while processing 'requires_grad'"),
        ({"requires_grad": None}, "while processing 'requires_grad'"),
        ({"requires_grad": np.int64(1)}, "while processing 'requires_grad'"),
        ({"requires_grad": 1, "device": "cuda"}, "while processing 'requires_grad'"),
    ],
)
def test_argument_conversion_notes(kwargs, note):
    with pytest.raises(TypeError) as info:
        Tensor([1.0], **kwargs)
    assert info.value.__notes__ == [note]


@pytest.mark.parametrize("flag, expected", [(True, True), (False, False), (np.True_, True), (np.False_, False)])
def test_requires_grad_flags(flag, expected):
    assert Tensor([1.0], requires_grad=flag).requires_grad is expected


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "Tensor.__new__() missing 1 required positional argument: 'data'"),
        (([1.0], None, "cpu", False, 5), {}, "Tensor.__new__() takes from 1 to 4 positional arguments but 5 were given"),
        (([1.0],), {"colour": 1}, "Tensor.__new__() got an unexpected keyword argument 'colour'"),
        (([1.0],), {"data": [1.0]}, "Tensor.__new__() got multiple values for argument 'data'"),
        ((), {"dtype": "f32"}, "Tensor.__new__() missing 1 required positional argument: 'data'"),
    ],
)
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        Tensor(*args, **kwargs)
    assert str(info.value) == message


def test_all_parameters_by_keyword():
    t = Tensor(data=[1.0, 2.0], dtype="f16", device="cpu", requires_grad=True)
    assert (t.shape, t.dtype, t.requires_grad) == ([2], "f16", True)


@pytest.mark.parametrize("data", [[[1.0, 2.0], [3.0]], "abc", object()])
def test_numpy_errors_pass_unchanged(data):
    with pytest.raises((ValueError, TypeError)) as info:
        Tensor(data)
    assert not getattr(info.value, "__notes__", [])


def _replace_numpy_array(how, monkeypatch, wrapper):
    if how == "attribute":
        monkeypatch.setattr(np, "array", wrapper)
    elif how == "module":  # another module object under the name
        fake = types.ModuleType("numpy")
        fake.array = wrapper
        monkeypatch.setitem(sys.modules, "numpy", fake)
    else:  # numpy's module becomes one whose class answers for `array`
        monkeypatch.setattr(np, "__class__", type("Answering", (types.ModuleType,), {"array": property(lambda m: wrapper)}))


@pytest.mark.thread_unsafe  # numpy.array is replaced for the whole process
@pytest.mark.parametrize("how", ["attribute", "module", "class"])
@pytest.mark.parametrize("where", ["here", "thread"])  # the thread constructed before the change
@pytest.mark.parametrize("data", [[2.0], np.float16([2.0])])  # an ndarray of the type too
def test_numpy_array_is_read_at_every_call(monkeypatch, data, how, where):
    calls, real, results = [], np.array, []
    warmed, changed = threading.Event(), threading.Event()

    def construct_before_and_after():
        Tensor([1.0], dtype="f16")
        warmed.set()
        assert changed.wait(60)
        results.append(Tensor(data, dtype="f16").to_numpy())

    thread = threading.Thread(target=construct_before_and_after)
    if where == "thread":
        thread.start()
        assert warmed.wait(60), "the thread's first construction failed"
    else:
        Tensor([1.0], dtype="f16")
    _replace_numpy_array(how, monkeypatch, lambda data, dtype=None: calls.append(dtype) or real(data, dtype=dtype))
    if where == "thread":
        changed.set()
        thread.join(60)
    else:
        results.append(Tensor(data, dtype="f16").to_numpy())
    assert (results[0].tolist(), calls) == ([2.0], ["float16"])


def test_tensor_as_data_is_opaque_to_numpy():
    with pytest.raises(TypeError):
        Tensor(Tensor([1.0]))


def test_bool_conversion_follows_numpy():
    np.testing.assert_array_equal(Tensor([0.0, 2.0, -1.5], dtype="bool").to_numpy(), [False, True, True])
    np.testing.assert_array_equal(Tensor(np.array([3, 0, -7]), dtype=bool).to_numpy(), [True, False, True])


def test_float64_rounds_to_float32():
    x = np.array([0.1, 1e40, -1e-50])
    with np.errstate(over="ignore"):
        np.testing.assert_array_equal(Tensor(x).to_numpy(), x.astype(np.float32))
