#include "engine/cpu/storage/numpy_dtypes.hpp"

#include "runtime/boundary.hpp"
#include "runtime/numpy.hpp"
#include "runtime/once.hpp"

namespace engine::cpu::storage {
namespace {

runtime::OncePtr<PyObject> bfloat16_descr;

// NumPy's type number of an element type that NumPy has built in.
int builtin_type(DType dtype) {
    return dtype == DType::F32 ? NPY_FLOAT32 : dtype == DType::F16 ? NPY_FLOAT16 : NPY_BOOL;
}

}  // namespace

PyObject* loaded_descr(DType dtype) {
    if (dtype == DType::BF16) return bfloat16_descr.peek();
    return runtime::builtin_descr(builtin_type(dtype));
}

runtime::PyResult<PyObject*> numpy_descr(DType dtype) {
    if (!runtime::ensure_numpy_api()) return runtime::raised();
    if (dtype != DType::BF16) return runtime::builtin_descr(builtin_type(dtype));
    return bfloat16_descr.get_or_init(
        []() -> std::expected<PyObject*, runtime::Raised> {
            auto found = runtime::numpy_dtype_named("bfloat16");
            if (!found) {
                // An ordinary failure means NumPy knows no such dtype.
                if (!runtime::pending_is_ordinary()) return runtime::raised();
                PyErr_Clear();
                runtime::raise_internal_failure(
                    "A package providing a bfloat16 data type for NumPy (such as ml_dtypes) is "
                    "required to convert bfloat16 tensors");
                return runtime::raised();
            }
            return found->release();  // kept for the life of the process
        },
        [](PyObject* loser) { Py_DECREF(loser); });
}

}  // namespace engine::cpu::storage
