import inspect
import sys
import textwrap
import weakref

import pytest

import morla_core
from morla_core import Tensor
from conftest import FREE_THREADED


def test_public_names_in_order():
    assert morla_core.__all__ == ["Tensor", "nn"]
    assert morla_core.nn.__all__ == ["functional"]
    assert morla_core.nn.functional.__all__ == ["relu"]
    assert morla_core.__doc__ == ""


def test_submodules_are_attributes_only():
    assert morla_core.nn.__name__ == "nn"
    assert morla_core.nn.functional.__name__ == "functional"
    assert "nn" not in sys.modules and "morla_core.nn" not in sys.modules
    with pytest.raises(ModuleNotFoundError):
        __import__("morla_core.nn")
    from morla_core import nn

    assert nn is morla_core.nn


def test_relu_is_bound_to_functional():
    relu = morla_core.nn.functional.relu
    assert relu.__self__ is morla_core.nn.functional
    assert relu.__module__ == "functional"
    assert relu.__name__ == "relu"
    assert str(inspect.signature(relu)) == "(py_tensor)"


def test_class_identity():
    assert Tensor.__name__ == "Tensor" and Tensor.__qualname__ == "Tensor"
    assert Tensor.__module__ == "morla"
    assert repr(Tensor) == "<class 'morla.Tensor'>"
    assert Tensor.__bases__ == (object,)
    assert repr(Tensor([1.0])).startswith("<morla.Tensor object at 0x")


def test_signatures():
    assert str(inspect.signature(Tensor)) == "(data, dtype=None, device='cpu', requires_grad=False)"
    for name in ["grad", "to_numpy"]:
        assert str(inspect.signature(getattr(Tensor, name))) == "(self, /)"
    assert str(inspect.signature(Tensor.clear_graph)) == "()"


def test_not_subclassable():
    with pytest.raises(TypeError):

        class Sub(Tensor):
            pass


def test_instances_are_closed():
    t = Tensor([1.0])
    with pytest.raises(TypeError):
        weakref.ref(t)
    with pytest.raises(AttributeError):
        t.__dict__
    with pytest.raises(AttributeError):
        t.anything = 1
    with pytest.raises(AttributeError):
        t.shape = [2]


@pytest.mark.parametrize("data", [[1.0], [], 0.0, [[0.0, 0.0]]])
def test_unhashable_and_always_true(data):
    t = Tensor(data)
    with pytest.raises(TypeError, match=r"unhashable type: 'morla.Tensor'"):
        hash(t)
    assert bool(t) is True


@pytest.mark.skipif(not FREE_THREADED, reason="needs the free-threaded interpreter")
def test_import_keeps_gil_disabled(fresh_python):
    result = fresh_python(
        "import sys, morla_core; morla_core.Tensor([1.0]).to_numpy(); print(sys._is_gil_enabled())"
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "False"
    assert "GIL" not in result.stderr


def test_import_does_not_need_numpy(fresh_python):
    code = textwrap.dedent(
        """
        import sys
        sys.modules["numpy"] = None
        import morla_core
        try:
            morla_core.Tensor([1.0])
        except ModuleNotFoundError as error:
            print("ModuleNotFoundError", error.name)
        """
    )
    result = fresh_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ModuleNotFoundError numpy"


# A stand-in NumPy whose C-API table reports the given versions, built with ctypes, so that the
# checks of the one-time set-up can be exercised.
FAKE_NUMPY = textwrap.dedent(
    """
    import ctypes, sys, types

    def install(version, abi, feature, endianness):
        numpy = types.ModuleType("numpy")
        numpy.__version__ = version
        numpy.array = lambda data, dtype=None: data
        lib = types.ModuleType("numpy.lib")
        lib.NumpyVersion = lambda v: types.SimpleNamespace(major=int(v.split(".")[0]))
        core = types.ModuleType("numpy.core")
        multiarray = types.ModuleType("numpy.core.multiarray")
        unsigned = ctypes.CFUNCTYPE(ctypes.c_uint)
        signed = ctypes.CFUNCTYPE(ctypes.c_int)
        keep = [unsigned(lambda: abi), unsigned(lambda: feature), signed(lambda: endianness)]
        table = (ctypes.c_void_p * 300)()
        table[0] = ctypes.cast(keep[0], ctypes.c_void_p)
        table[211] = ctypes.cast(keep[1], ctypes.c_void_p)
        table[210] = ctypes.cast(keep[2], ctypes.c_void_p)
        new_capsule = ctypes.pythonapi.PyCapsule_New
        new_capsule.restype = ctypes.py_object
        new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
        multiarray._ARRAY_API = new_capsule(ctypes.addressof(table), None, None)
        multiarray._keep = (keep, table)
        numpy.lib, numpy.core, core.multiarray = lib, core, multiarray
        sys.modules.update({"numpy": numpy, "numpy.lib": lib, "numpy.core": core,
                            "numpy.core.multiarray": multiarray})
    """
)


@pytest.mark.parametrize(
    "abi, feature, endianness, message",
    [
        (0x1000009, 0xB, 1,
         "module was compiled against NumPy C-API version 0xc (NumPy 1.15) but the running NumPy "
         "has C-API version 0xb"),
        (0x3000000, 0xC, 1,
         "module compiled against ABI version 0x2000000 but this version of numpy is 0x3000000"),
        (0x1000009, 0xC, 2,
         "module compiled as little endian, but detected different endianness at runtime"),
        (0x1000009, 0xC, 1, "AttributeError: module 'numpy' has no attribute 'dtype'"),
    ],
)
def test_numpy_api_checks(fresh_python, abi, feature, endianness, message):
    code = FAKE_NUMPY + textwrap.dedent(
        f"""
        install("1.14.0", {abi}, {feature}, {endianness})
        import morla_core
        for attempt in range(2):  # nothing is cached after a failure: the second call checks again
            try:
                morla_core.Tensor([1.0])
            except Exception as error:
                print("caught as Exception", type(error))
            except BaseException as error:
                assert type(error).__bases__ == (BaseException,), type(error).__bases__
                print(error.args[0])
        """
    )
    result = fresh_python(code)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.strip().splitlines()
    assert len(lines) == 2
    for line in lines:
        assert line.startswith("Failed to access NumPy array API capsule")
        assert line.endswith(message)


# A NumPy whose C API is refused is met only where the API is needed: not by the arguments'
# checks, which come first.
@pytest.mark.parametrize("arguments, expected", [("requires_grad=1", "TypeError"),
                                                 ("requires_grad=True, device='cuda'", "ValueError")])
def test_arguments_are_checked_before_numpys_api(fresh_python, arguments, expected):
    code = FAKE_NUMPY + textwrap.dedent(
        f"""
        install("1.14.0", 0x1000009, 0xB, 1)
        import morla_core
        try:
            morla_core.Tensor([1.0], {arguments})
        except BaseException as error:
            print(type(error).__name__)
        """
    )
    result = fresh_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == expected


# The installed NumPy seen through a copy of its C-API table that reports another feature version:
# from 1.22 (0xf) on, large results take their memory from the module's own handler, and before
# it, where NumPy has none, plainly from NumPy.
@pytest.mark.parametrize("feature, handler", [(None, "morla_core block cache"), (0xE, "default_allocator"),
                                              (0xC, "default_allocator")])
def test_memory_handler_only_where_numpy_has_one(fresh_python, feature, handler):
    code = textwrap.dedent(
        f"""
        import ctypes
        import numpy as np
        from numpy._core import multiarray
        if {feature} is not None:
            get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
            get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
            real = (ctypes.c_void_p * 307).from_address(get_pointer(multiarray._ARRAY_API, None))
            table = (ctypes.c_void_p * 307)(*real)  # every slot up to the memory handler's
            version = ctypes.CFUNCTYPE(ctypes.c_uint)(lambda: {feature})
            table[211] = ctypes.cast(version, ctypes.c_void_p)
            new_capsule = ctypes.pythonapi.PyCapsule_New
            new_capsule.restype = ctypes.py_object
            new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
            multiarray._ARRAY_API = new_capsule(ctypes.addressof(table), None, None)
        from morla_core import Tensor
        source = np.arange(100_000, dtype=np.float32)
        out = Tensor(source).to_numpy()
        assert np.array_equal(out, source)
        print(multiarray.get_handler_name(out))
        """
    )
    result = fresh_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == handler
