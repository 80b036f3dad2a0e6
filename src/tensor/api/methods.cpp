// The methods of Tensor.
#include <array>

#include "autograd/engine.hpp"
#include "autograd/graph.hpp"
#include "tensor/api/arguments.hpp"
#include "tensor/api/convert.hpp"
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

// The gradient on the calling thread's tape: a reference taken under a shared hold, computed if
// it was put off and converted (copied into a new NumPy array) after the hold ends.
PyObject* method_grad(PyObject* self, PyObject*) {
    return runtime::guarded([&]() -> PyResult<PyRef> {
        const auto& tensor = record(self);
        if (!tensor.node_id) return PyRef::borrow(Py_None);
        auto slot = autograd::graph::TapeRef()->lookup_grad(*tensor.node_id);
        if (!slot) return PyRef::borrow(Py_None);
        MORLA_TRY(auto gradient, slot.get());
        return to_numpy(gradient->cpu());
    });
}

PyObject* method_clear_graph(PyObject*, PyObject*) {
    return runtime::guarded([]() -> PyResult<PyRef> {
        autograd::engine::clear_graph();
        return PyRef::borrow(Py_None);
    });
}

// Binds the one or two parameters of a fast-call method.
template <std::size_t N>
PyResult<std::array<PyObject*, N>> bind(const char* function, const char* const (&names)[N],
                                        PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, N> given{};
    MORLA_TRY(bind_arguments({function, names, N, 1}, args, std::size_t(nargs), kwnames, given));
    return given;
}

PyObject* method_reshape(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return runtime::guarded([&]() -> PyResult<PyRef> {
        static const char* const names[] = {"shape"};
        MORLA_TRY(auto given, bind("Tensor.reshape", names, args, nargs, kwnames));
        MORLA_TRY(const auto& extents, runtime::noted("shape", extents_of, given[0]));
        return wrap_result(core::reshape(record(self), extents));
    });
}

PyObject* method_transpose(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return runtime::guarded([&]() -> PyResult<PyRef> {
        static const char* const names[] = {"dim0", "dim1"};
        MORLA_TRY(auto given, bind("Tensor.transpose", names, args, nargs, kwnames));
        MORLA_TRY(auto dim0, runtime::noted("dim0", unsigned_word, given[0]));
        MORLA_TRY(auto dim1, runtime::noted("dim1", unsigned_word, given[1]));
        return wrap_result(core::transpose(record(self), dim0, dim1));
    });
}

// __req__, __rgt__, __rlt__: ordinary methods comparing a number with the receiver.
struct ReflectedEq {
    static constexpr const char* name = "Tensor.__req__";
    static constexpr auto op = core::scalar_eq;
};
struct ReflectedLt {  // x < t is t > x
    static constexpr const char* name = "Tensor.__rlt__";
    static constexpr auto op = core::scalar_gt;
};
struct ReflectedGt {  // x > t is t < x
    static constexpr const char* name = "Tensor.__rgt__";
    static constexpr auto op = core::scalar_lt;
};

template <class Reflected>
PyObject* method_reflected(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return runtime::guarded([&]() -> PyResult<PyRef> {
        static const char* const names[] = {"other"};
        MORLA_TRY(auto given, bind(Reflected::name, names, args, nargs, kwnames));
        MORLA_TRY(auto other, runtime::noted("other", float32_of, given[0]));
        return wrap_result(Reflected::op(record(self), other));
    });
}

PyObject* method_zeros_like(PyObject* self, PyObject*) {
    return runtime::guarded([&] { return wrap(core::zeros_like(record(self))); });
}

PyObject* method_ones_like(PyObject* self, PyObject*) {
    return runtime::guarded([&] { return wrap(core::ones_like(record(self))); });
}

PyObject* method_backward(PyObject* self, PyObject*) {
    return runtime::guarded([&]() -> PyResult<PyRef> {
        MORLA_TRY(autograd::engine::backward(record(self)));
        return PyRef::borrow(Py_None);
    });
}

template <class F>
constexpr PyCFunction fast(F function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}
constexpr int fast_call = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"grad", method_grad, METH_NOARGS, "grad($self)\n--\n\n"},
    {"to_numpy", method_to_numpy, METH_NOARGS, "to_numpy($self)\n--\n\n"},
    {"__req__", fast(method_reflected<ReflectedEq>), fast_call, "__req__($self, other)\n--\n\n"},
    {"__rlt__", fast(method_reflected<ReflectedLt>), fast_call, "__rlt__($self, other)\n--\n\n"},
    {"__rgt__", fast(method_reflected<ReflectedGt>), fast_call, "__rgt__($self, other)\n--\n\n"},
    {"zeros_like", method_zeros_like, METH_NOARGS, "zeros_like($self)\n--\n\n"},
    {"ones_like", method_ones_like, METH_NOARGS, "ones_like($self)\n--\n\n"},
    {"reshape", fast(method_reshape), fast_call, "reshape($self, shape)\n--\n\n"},
    {"transpose", fast(method_transpose), fast_call, "transpose($self, dim0, dim1)\n--\n\n"},
    {"backward", method_backward, METH_NOARGS, "backward($self)\n--\n\n"},
    {"clear_graph", method_clear_graph, METH_NOARGS | METH_STATIC, "clear_graph()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* tensor_methods() { return methods; }

}  // namespace tensor::api
