// Building a storage from a NumPy array.
#include "runtime/text.hpp"

#include "engine/cpu/storage/cpu_storage.hpp"
#include "engine/cpu/storage/numpy_dtypes.hpp"
#include "runtime/numpy.hpp"

namespace engine::cpu::storage {
namespace {

using runtime::Error;

template <class T>
StridedArray<T> copy_row_major(PyArrayObject* array) {
    const int rank = PyArray_NDIM(array);
    Shape shape(PyArray_DIMS(array), PyArray_DIMS(array) + rank);
    auto result = StridedArray<T>::uninitialized(shape);
    const auto* first = static_cast<const std::byte*>(PyArray_DATA(array));
    if (PyArray_IS_C_CONTIGUOUS(array)) {
        if (result.numel() != 0) std::memcpy(result.data(), first, result.numel() * sizeof(T));
    } else {
        Strides byte_strides(PyArray_STRIDES(array), PyArray_STRIDES(array) + rank);
        gather_row_major(first, shape, byte_strides, result.data());
    }
    if constexpr (std::is_same_v<T, bool>) {
        // A NumPy bool byte may hold any nonzero value; ours hold exactly 0 or 1.
        auto* bytes = reinterpret_cast<unsigned char*>(result.data());
        for (std::size_t i = 0; i < result.numel(); ++i) bytes[i] = bytes[i] != 0;
    }
    return result;
}

}  // namespace

runtime::Result<CpuStorage> CpuStorage::from_numpy(PyObject* object, std::string_view spelling) {
    if (!runtime::ensure_numpy_api()) return std::unexpected(runtime::Error::already_raised());
    if (!PyArray_Check(object)) {
        return std::unexpected(runtime::Error::type(
            runtime::concat("Expected a NumPy array, got '", Py_TYPE(object)->tp_name, "'.")));
    }
    auto dtype = tensor::storage::dtype_from_spelling(spelling);
    if (!dtype) {
        return std::unexpected(runtime::Error::type(
            runtime::concat("Unsupported data type '", spelling,
                            "'. Only float32, float16, bfloat16, and bool are supported.")));
    }
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    auto expected = numpy_descr(*dtype);
    if (!expected) return std::unexpected(runtime::Error::already_raised());
    if (!PyArray_EquivTypes(PyArray_DESCR(array), reinterpret_cast<PyArray_Descr*>(*expected))) {
        return std::unexpected(runtime::Error::type(
            runtime::concat("The array's data type does not match '", spelling, "'.")));
    }
    if (PyArray_IS_C_CONTIGUOUS(array) && !PyArray_ISALIGNED(array)) {
        return std::unexpected(
            runtime::Error::type("The given array is not contiguous or is misaligned."));
    }
    switch (*dtype) {
        case DType::F16: return CpuStorage(copy_row_major<float16>(array));
        case DType::BF16: return CpuStorage(copy_row_major<bfloat16>(array));
        case DType::F32: return CpuStorage(copy_row_major<float>(array));
        case DType::Bool: return CpuStorage(copy_row_major<bool>(array));
    }
    throw runtime::InternalFailure("unknown element type");
}

}  // namespace engine::cpu::storage
