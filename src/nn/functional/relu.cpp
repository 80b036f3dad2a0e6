#include "nn/functional/relu.hpp"

#include "runtime/boundary.hpp"
#include "tensor/api/arguments.hpp"
#include "tensor/api/py_tensor.hpp"

namespace nn::functional {
namespace {

using runtime::PyRef;
using runtime::PyResult;

PyObject* relu(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return runtime::guarded([&]() -> PyResult<PyRef> {
        static const char* const names[] = {"py_tensor"};
        PyObject* given[1];
        if (!tensor::api::bind_arguments({"relu", names, 1}, args, std::size_t(nargs), kwnames, given)) {
            return runtime::raised();
        }
        auto type = tensor::api::tensor_type();
        if (!type) return runtime::raised();
        if (!tensor::api::is_tensor(given[0], *type)) {
            PyErr_Format(PyExc_TypeError, "expected morla.Tensor, got %s", Py_TYPE(given[0])->tp_name);
            runtime::note_processing("py_tensor");
            return runtime::raised();
        }
        PyErr_SetString(PyExc_NotImplementedError, "relu is not available in this build yet");
        return runtime::raised();
    });
}

}  // namespace

PyMethodDef relu_definition = {"relu", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(relu)),
                               METH_FASTCALL | METH_KEYWORDS, "relu(py_tensor)\n--\n\n"};

}  // namespace nn::functional
