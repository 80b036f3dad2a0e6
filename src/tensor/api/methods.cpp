// The methods of Tensor.
#include "autograd/graph.hpp"
#include "runtime/boundary.hpp"
#include "tensor/api/numpy_convert.hpp"
#include "tensor/api/py_tensor.hpp"

namespace tensor::api {
namespace {

using runtime::PyRef;
using runtime::PyResult;

PyObject* method_to_numpy(PyObject* self, PyObject*) {
    return runtime::guarded([&] { return to_numpy(record(self).cpu()); });
}

// The gradient on the calling thread's tape: copied out under a shared hold, converted after.
PyObject* method_grad(PyObject* self, PyObject*) {
    return runtime::guarded([&]() -> PyResult<PyRef> {
        const auto& tensor = record(self);
        if (!tensor.node_id) return PyRef::borrow(Py_None);
        auto gradient = autograd::graph::TapeRef()->lookup_grad(*tensor.node_id);
        if (!gradient) return PyRef::borrow(Py_None);
        return to_numpy(gradient->cpu());
    });
}

PyObject* method_clear_graph(PyObject*, PyObject*) {
    return runtime::guarded([]() -> PyResult<PyRef> {
        autograd::graph::TapeMut()->clear();
        return PyRef::borrow(Py_None);
    });
}

PyMethodDef methods[] = {
    {"grad", method_grad, METH_NOARGS, "grad($self)\n--\n\n"},
    {"to_numpy", method_to_numpy, METH_NOARGS, "to_numpy($self)\n--\n\n"},
    {"clear_graph", method_clear_graph, METH_NOARGS | METH_STATIC, "clear_graph()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* tensor_methods() { return methods; }

}  // namespace tensor::api
