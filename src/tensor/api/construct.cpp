// Tensor(data, dtype=None, device="cpu", requires_grad=False): the class's construction slot.
#include <memory>
#include <new>
#include <string>

#include "autograd/graph.hpp"
#include "runtime/boundary.hpp"
#include "engine/cpu/storage/numpy_dtypes.hpp"
#include "runtime/numpy.hpp"
#include "runtime/once.hpp"
#include "runtime/text.hpp"
#include "tensor/api/arguments.hpp"
#include "tensor/api/py_tensor.hpp"

namespace tensor::api {
namespace {

using runtime::PyRef;
using runtime::PyResult;
using storage::DType;

std::unexpected<runtime::Raised> expected_type(const char* what, PyObject* got) {
    return runtime::fail(PyExc_TypeError, "expected %s, got %s", what, Py_TYPE(got)->tp_name);
}

// device must be a str; null when not given.
PyResult<PyObject*> convert_device(PyObject* device) {
    if (device != nullptr && !PyUnicode_Check(device)) return expected_type("str", device);
    return device;
}

// The device, lower-cased (full Unicode lower-casing), must be "cpu"; a missing one is.
PyResult<void> check_device(PyObject* device) {
    if (device == nullptr || PyUnicode_CompareWithASCIIString(device, "cpu") == 0) return {};
    MORLA_TRY(PyRef lowered,
              runtime::checked(PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyUnicode_Type),
                                                   "lower", "O", device)));
    if (PyUnicode_CompareWithASCIIString(lowered.get(), "cpu") != 0) {
        return runtime::fail(PyExc_ValueError, "The device string is invalid or not supported.");
    }
    return {};
}

// requires_grad must be a Python bool or NumPy's bool scalar; the int 1 is refused. NumPy's bool
// type is its C API's once that is set up; until then it is the numpy module's bool_, so that a
// NumPy the set-up would refuse is met where its API is needed, not here.
PyResult<bool> convert_requires_grad(PyObject* flag) {
    if (flag == nullptr || flag == Py_False) return false;
    if (flag == Py_True) return true;
    PyObject* numpy_bool = nullptr;
    PyRef held;
    if (runtime::numpy_api_ready()) {
        numpy_bool = reinterpret_cast<PyObject*>(&PyBoolArrType_Type);
    } else {
        // A NumPy bool scalar can exist only once NumPy has been imported.
        MORLA_TRY(PyRef name, runtime::checked(PyUnicode_FromString("numpy")));
        if (PyRef numpy = PyRef::steal(PyImport_GetModule(name.get()))) {
            MORLA_TRY(
                runtime::status(PyObject_GetOptionalAttrString(numpy.get(), "bool_", &numpy_bool)));
            held = PyRef::steal(numpy_bool);
        } else if (PyErr_Occurred()) {
            return runtime::raised();
        }
    }
    if (numpy_bool != nullptr && PyType_Check(numpy_bool) &&
        PyObject_TypeCheck(flag, reinterpret_cast<PyTypeObject*>(numpy_bool))) {
        MORLA_TRY(const int truth, runtime::status(PyObject_IsTrue(flag)));
        return truth == 1;
    }
    return expected_type("bool", flag);
}

// The dtype argument reduced to a text: a str as it is, else its __name__, else the name of
// numpy.dtype(dtype); null when it is not given (float32).
PyResult<PyRef> dtype_text(PyObject* dtype) {
    if (dtype == nullptr || dtype == Py_None) return PyRef();
    if (PyUnicode_Check(dtype)) return PyRef::borrow(dtype);
    if (PyRef name = PyRef::steal(PyObject_GetAttrString(dtype, "__name__"))) {
        if (!PyUnicode_Check(name.get())) {
            return runtime::fail(PyExc_TypeError, "the dtype's __name__ must be str, not %s",
                                 Py_TYPE(name.get())->tp_name);
        }
        return name;
    }
    if (!runtime::pending_is_ordinary()) return runtime::raised();  // only these fall back to NumPy
    PyErr_Clear();
    MORLA_TRY(PyRef numpy, runtime::checked(PyImport_ImportModule("numpy")));
    MORLA_TRY(PyRef resolved,
              runtime::checked(PyObject_CallMethod(numpy.get(), "dtype", "O", dtype)));
    MORLA_TRY(PyRef name, runtime::checked(PyObject_GetAttrString(resolved.get(), "name")));
    if (!PyUnicode_Check(name.get())) return expected_type("str", name.get());
    return name;
}

// The element type a dtype text spells. A text that no spelling matches (one that UTF-8 cannot
// encode among them) fails with a message that quotes it whole.
PyResult<std::pair<DType, std::string>> spelled_dtype(PyObject* text) {
    if (text == nullptr) return std::pair{DType::F32, std::string("float32")};
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data != nullptr) {
        std::string spelling(data, std::size_t(size));
        if (auto dtype = storage::dtype_from_spelling(spelling)) {
            return std::pair{*dtype, std::move(spelling)};
        }
    } else if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
        PyErr_Clear();
    } else {
        return runtime::raised();
    }
    if (PyRef message =
            PyRef::steal(PyUnicode_FromFormat("Unsupported or invalid data type: '%U'", text))) {
        PyErr_SetObject(PyExc_ValueError, message.get());
    }
    return runtime::raised();
}

// The names construction calls NumPy with, made once (interned, so never counted): "numpy",
// "array", the keyword names ("dtype",) and the dtype names.
struct ArrayCall {
    PyObject* module;
    PyObject* function;
    PyObject* keywords;
    PyObject* names[4];
};
runtime::OncePtr<ArrayCall> array_call;

PyResult<const ArrayCall*> numpy_array_call() {
    return array_call.get_or_init(
        []() -> std::expected<ArrayCall*, runtime::Raised> {
            auto call = std::make_unique<ArrayCall>();
            PyObject** made[] = {&call->module,   &call->function, &call->names[0], &call->names[1],
                                 &call->names[2], &call->names[3], &call->keywords};
            const char* texts[] = {"numpy", "array"};
            for (std::size_t i = 0; i < std::size(made); ++i) {
                *made[i] = i < 2   ? PyUnicode_InternFromString(texts[i])
                           : i < 6 ? PyUnicode_InternFromString(storage::numpy_name(DType(i - 2)))
                                   : Py_BuildValue("(s)", "dtype");
                if (*made[i] == nullptr) {
                    for (std::size_t j = 0; j < i; ++j) Py_DECREF(*made[j]);
                    return runtime::raised();
                }
            }
            return call.release();  // kept for the life of the process
        },
        [](ArrayCall* loser) {
            for (PyObject* name : {loser->module, loser->function, loser->keywords})
                Py_DECREF(name);
            for (PyObject* name : loser->names) Py_DECREF(name);
            delete loser;
        });
}

// NumPy's own array(), read once from the module that defines it (replacing numpy.array does not
// replace it there); None where no such module is found.
runtime::OncePtr<PyObject> own_array;

PyResult<PyObject*> numpy_own_array() {
    return own_array.get_or_init(
        []() -> std::expected<PyObject*, runtime::Raised> {
            for (const char* module : {"numpy._core.multiarray", "numpy.core.multiarray"}) {
                if (auto function = runtime::import_attribute(module, "array")) {
                    return function->release();  // kept for the life of the process
                }
                if (!runtime::pending_is_ordinary()) return runtime::raised();
                PyErr_Clear();
            }
            return Py_NewRef(Py_None);
        },
        [](PyObject* loser) { Py_DECREF(loser); });
}

// numpy.array(data, dtype=name), numpy imported and its array read at every call. Where that is
// NumPy's own array() and data an exact, aligned ndarray already of the element type, data is
// taken as it is: array() would only copy it, and the storage copies it anyway.
PyResult<PyRef> numpy_array(PyObject* data, DType dtype) {
    MORLA_TRY(const ArrayCall* call, numpy_array_call());
    PyRef numpy = PyRef::steal(PyImport_GetModule(call->module));
    if (!numpy || numpy.get() == Py_None) {  // not imported yet, or blocked: the import says which
        if (PyErr_Occurred()) return runtime::raised();
        MORLA_TRY(numpy, runtime::checked(PyImport_Import(call->module)));
    }
    MORLA_TRY(PyRef function, runtime::checked(PyObject_GetAttr(numpy.get(), call->function)));
    if (PyObject* expected = engine::cpu::storage::loaded_descr(dtype)) {
        auto* array = reinterpret_cast<PyArrayObject*>(data);
        if (PyArray_CheckExact(data) && PyArray_ISALIGNED(array) &&
            PyArray_EquivTypes(PyArray_DESCR(array), reinterpret_cast<PyArray_Descr*>(expected))) {
            MORLA_TRY(auto own, numpy_own_array());
            if (function.get() == own) return PyRef::borrow(data);
        }
    }
    PyObject* arguments[] = {data, call->names[int(dtype)]};
    return runtime::checked(PyObject_Vectorcall(function.get(), arguments, 1, call->keywords));
}

PyResult<PyRef> construct(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"data", "dtype", "device", "requires_grad"};
    PyObject* given[4];
    MORLA_TRY(bind_arguments({"Tensor.__new__", names, 1}, args, kwargs, given));

    MORLA_TRY(auto device, runtime::noted("device", convert_device, given[2]));
    MORLA_TRY(bool requires_grad, runtime::noted("requires_grad", convert_requires_grad, given[3]));

    MORLA_TRY(check_device(device));

    MORLA_TRY(PyRef text, dtype_text(given[1]));
    MORLA_TRY(auto dtype, spelled_dtype(text.get()));

    MORLA_TRY(PyRef array, numpy_array(given[0], dtype.first));
    MORLA_TRY(auto cpu, storage::CpuStorage::from_numpy(array.get(), dtype.second));

    // The leaf is registered only once the instance's memory is there: a construction that
    // fails adds nothing to the tape.
    return make_instance(cls, [&] {
        core::Tensor tensor{std::nullopt, storage::share(std::move(cpu)), requires_grad};
        if (tensor.requires_grad) tensor.node_id = autograd::graph::TapeMut()->register_leaf();
        return tensor;
    });
}

}  // namespace

PyObject* tensor_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    return runtime::guarded([&] { return construct(cls, args, kwargs); });
}

}  // namespace tensor::api
