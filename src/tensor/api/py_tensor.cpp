#include "tensor/api/py_tensor.hpp"

#include <new>
#include <vector>

#include "runtime/boundary.hpp"
#include "runtime/once.hpp"
#include "tensor/api/operators.hpp"

namespace tensor::api {
namespace {

using runtime::PyRef;
using runtime::PyResult;
using runtime::Raised;

void tensor_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<PyTensor*>(self)->tensor.~Tensor();
    type->tp_free(self);
    release_class_reference(type);
}

PyTypeObject* build_type() {
    static const std::vector<PyType_Slot> slots = [] {
        std::vector<PyType_Slot> all = operator_slots();
        all.insert(all.end(), {
            {Py_tp_new, reinterpret_cast<void*>(tensor_new)},
            {Py_tp_dealloc, reinterpret_cast<void*>(tensor_dealloc)},
            {Py_tp_doc, const_cast<char*>(
                            "Tensor(data, dtype=None, device=\"cpu\", requires_grad=False)\n--\n\n")},
            {Py_tp_getset, tensor_attributes()},
            {Py_tp_methods, tensor_methods()},
            {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
            {0, nullptr},
        });
        return all;
    }();
    static PyType_Spec type_spec = {
        .name = "morla.Tensor",
        .basicsize = int(sizeof(PyTensor)),
        .itemsize = 0,
        .flags = Py_TPFLAGS_DEFAULT,  // no GC, no subclasses: make_instance relies on both
        .slots = const_cast<PyType_Slot*>(slots.data()),
    };
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
}

}  // namespace

runtime::OncePtr<PyTypeObject> detail::tensor_type_object;

PyResult<PyTypeObject*> detail::build_tensor_type() {
    return tensor_type_object.get_or_init(
        []() -> std::expected<PyTypeObject*, Raised> {
            PyTypeObject* type = build_type();
            if (type == nullptr) {
                // The reason stays attached as the cause.
                PyObject* reason = PyErr_GetRaisedException();
                PyErr_SetString(PyExc_RuntimeError, "An error occurred while initializing class Tensor");
                if (reason != nullptr) {
                    PyObject* failure = PyErr_GetRaisedException();
                    PyException_SetContext(failure, Py_NewRef(reason));
                    PyException_SetCause(failure, reason);
                    PyErr_SetRaisedException(failure);
                }
                return runtime::raised();
            }
            return type;  // kept for the life of the process
        },
        [](PyTypeObject* loser) { Py_DECREF(loser); });
}

PyResult<PyRef> wrap(core::Tensor tensor) {
    MORLA_TRY(auto type, tensor_type());
    return make_instance(type, [&] { return std::move(tensor); });
}

}  // namespace tensor::api
