// The operator slots of Tensor: which Python operator reaches which operation, how a number
// becomes a float32 scalar, and when the interpreter is told NotImplemented.
#include "runtime/boundary.hpp"
#include "tensor/api/convert.hpp"
#include "tensor/api/operators.hpp"
#include "tensor/api/py_tensor.hpp"

namespace tensor::api {
namespace {

using core::Tensor;
using core::TensorResult;
using runtime::PyRef;
using runtime::PyResult;

using TensorOp = TensorResult (*)(const Tensor&, const Tensor&);
using ScalarOp = TensorResult (*)(const Tensor&, float);

PyResult<PyRef> not_implemented() { return PyRef::borrow(Py_NotImplemented); }

// The number on the other side of a slot, or nothing when it is none (an ordinary conversion
// error discarded); an interrupt, exhaustion or exit raised by the conversion stays raised.
PyResult<std::optional<float>> number(PyObject* object) {
    auto value = float32_of(object);
    if (value) return *value;
    if (!runtime::pending_is_ordinary()) return runtime::raised();
    PyErr_Clear();
    return std::nullopt;
}

// x / t: each element of the quotient is x divided by the element, recorded as a division.
TensorResult reflected_div(const Tensor& t, float x) {
    auto numerator = core::scalar_mul(core::ones_like(t), x);
    if (!numerator) return numerator;
    return core::div(*numerator, t);
}

// add, multiply and true divide: tensor op number-or-tensor, then the reflected form.
template <TensorOp tensor_op, ScalarOp scalar_op, ScalarOp reflected>
PyObject* number_slot(PyObject* a, PyObject* b) {
    return runtime::guarded([&]() -> PyResult<PyRef> {
        MORLA_TRY(auto type, tensor_type());
        if (is_tensor(a, type)) {
            if (is_tensor(b, type)) return wrap_result(tensor_op(record(a), record(b)));
            MORLA_TRY(auto x, number(b));
            if (x) return wrap_result(scalar_op(record(a), *x));
        }
        if constexpr (reflected != nullptr) {
            if (is_tensor(b, type)) {
                MORLA_TRY(auto x, number(a));
                if (x) return wrap_result(reflected(record(b), *x));
            }
        }
        return not_implemented();
    });
}

// matrix product and the logical operators: both operands tensors, no reflected form.
template <TensorOp tensor_op>
PyObject* tensor_slot(PyObject* a, PyObject* b) {
    return runtime::guarded([&]() -> PyResult<PyRef> {
        MORLA_TRY(auto type, tensor_type());
        if (is_tensor(a, type) && is_tensor(b, type))
            return wrap_result(tensor_op(record(a), record(b)));
        return not_implemented();
    });
}

PyObject* invert_slot(PyObject* self) {
    return runtime::guarded([&] { return wrap_result(core::logical_not(record(self))); });
}

struct Comparison {
    TensorOp tensor_op;
    ScalarOp scalar_op;
};

// Indexed by Py_LT, Py_LE, Py_EQ, Py_NE, Py_GT, Py_GE; != has no operation of its own.
constexpr Comparison comparisons[] = {
    {core::lt, core::scalar_lt}, {core::le, core::scalar_le}, {core::eq, core::scalar_eq},
    {nullptr, nullptr},          {core::gt, core::scalar_gt}, {core::ge, core::scalar_ge},
};

// != is the negated truth of ==, and every Tensor is true: so it is False whenever == gives a
// Tensor, whatever the elements.
PyObject* richcompare_slot(PyObject* self, PyObject* other, int op) {
    return runtime::guarded([&]() -> PyResult<PyRef> {
        if (op == Py_NE) {
            MORLA_TRY(PyRef equal, runtime::checked(PyObject_RichCompare(self, other, Py_EQ)));
            MORLA_TRY(const int truth, runtime::status(PyObject_IsTrue(equal.get())));
            return PyRef::borrow(truth ? Py_False : Py_True);
        }
        MORLA_TRY(auto type, tensor_type());
        const Comparison& comparison = comparisons[op];
        if (is_tensor(other, type))
            return wrap_result(comparison.tensor_op(record(self), record(other)));
        MORLA_TRY(auto x, number(other));
        if (x) return wrap_result(comparison.scalar_op(record(self), *x));
        return not_implemented();
    });
}

TensorResult reflected_add(const Tensor& t, float x) { return core::scalar_add(t, x); }
TensorResult reflected_mul(const Tensor& t, float x) { return core::scalar_mul(t, x); }

}  // namespace

std::vector<PyType_Slot> operator_slots() {
    auto slot = [](int id, auto function) { return PyType_Slot{id, reinterpret_cast<void*>(function)}; };
    return {
        slot(Py_nb_add, number_slot<core::add, core::scalar_add, reflected_add>),
        slot(Py_nb_subtract, number_slot<core::sub, core::scalar_sub, nullptr>),
        slot(Py_nb_multiply, number_slot<core::mul, core::scalar_mul, reflected_mul>),
        slot(Py_nb_true_divide, number_slot<core::div, core::scalar_div, reflected_div>),
        slot(Py_nb_matrix_multiply, tensor_slot<core::matmul>),
        slot(Py_nb_and, tensor_slot<core::logical_and>),
        slot(Py_nb_or, tensor_slot<core::logical_or>),
        slot(Py_nb_xor, tensor_slot<core::logical_xor>),
        slot(Py_nb_invert, invert_slot),
        slot(Py_tp_richcompare, richcompare_slot),
    };
}

}  // namespace tensor::api
