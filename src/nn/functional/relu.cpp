#include "nn/functional/relu.hpp"

#include "runtime/boundary.hpp"
#include "tensor/api/arguments.hpp"
#include "tensor/api/convert.hpp"
#include "tensor/api/py_tensor.hpp"
#include "tensor/core/recording.hpp"

namespace nn::functional {

tensor::core::TensorResult relu(const tensor::core::Tensor& t) {
    return tensor::core::recorded_unary(
        t, [&](std::size_t input) { return autograd::ops::ReluNode(t.storage, input); },
        [&] { return t.cpu().relu(); });
}

namespace {

using runtime::PyRef;
using runtime::PyResult;

PyObject* relu_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return runtime::guarded([&]() -> PyResult<PyRef> {
        static const char* const names[] = {"py_tensor"};
        PyObject* given[1];
        MORLA_TRY(tensor::api::bind_arguments({"relu", names, 1}, args, std::size_t(nargs), kwnames,
                                              given));
        MORLA_TRY(auto type, tensor::api::tensor_type());
        if (!tensor::api::is_tensor(given[0], type)) {
            PyErr_Format(PyExc_TypeError, "expected morla.Tensor, got %s", Py_TYPE(given[0])->tp_name);
            runtime::note_processing("py_tensor");
            return runtime::raised();
        }
        return tensor::api::wrap_result(relu(tensor::api::record(given[0])));
    });
}

}  // namespace

PyMethodDef relu_definition = {"relu", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(relu_entry)),
                               METH_FASTCALL | METH_KEYWORDS, "relu(py_tensor)\n--\n\n"};

}  // namespace nn::functional
