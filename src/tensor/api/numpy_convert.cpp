#include "tensor/api/numpy_convert.hpp"

#include <cstring>
#include <span>

#include "engine/cpu/layout.hpp"
#include "engine/cpu/storage/numpy_dtypes.hpp"
#include "runtime/boundary.hpp"
#include "runtime/numpy.hpp"
#include "tensor/api/numpy_blocks.hpp"

namespace tensor::api {
namespace {

using namespace engine::cpu;
using runtime::PyRef;
using runtime::PyResult;

// The block copy takes at most this many axes.
constexpr std::size_t max_block_copy_rank = 32;

// A new array of `bytes` bytes, with the given strides in bytes (or row-major for null). The
// conversion fails only by internal failures: NumPy's refusal (of more axes than it takes, say)
// is one; lack of memory stays MemoryError, and an interrupt stays itself.
PyResult<PyRef> new_array(PyRef descr, std::span<npy_intp> dims, npy_intp* strides, int flags,
                          std::size_t bytes) {
    const BlockArrays blocks(bytes);
    auto array = runtime::checked(
        PyArray_NewFromDescr(&PyArray_Type, reinterpret_cast<PyArray_Descr*>(descr.release()),
                             int(dims.size()), dims.data(), strides, nullptr, flags, nullptr));
    if (!array && runtime::pending_is_ordinary()) {
        throw runtime::InternalFailure("NumPy could not make the array: " +
                                       runtime::take_exception_text());
    }
    return array;
}

template <class T>
PyResult<PyRef> array_to_numpy(const StridedArray<T>& array, PyRef descr) {
    std::vector<npy_intp> dims(array.shape.begin(), array.shape.end());
    const std::size_t bytes = array.numel() * sizeof(T);
    if (is_row_major(array.shape, array.strides) || is_col_major(array.shape, array.strides)) {
        // One block copy; a column-major storage gives a Fortran-ordered array.
        if (array.rank() > max_block_copy_rank) {
            throw runtime::InternalFailure("at most 32 axes can be converted to a NumPy array");
        }
        const auto strides = byte_strides<T>(array.strides);
        std::vector<npy_intp> numpy_strides(strides.begin(), strides.end());
        auto result =
            new_array(std::move(descr), dims, numpy_strides.data(), NPY_ARRAY_WRITEABLE, bytes);
        if (result && bytes != 0) {
            std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result->get())), array.data(),
                        bytes);
        }
        return result;
    }
    auto result = new_array(std::move(descr), dims, nullptr, 0, bytes);
    if (!result) return result;
    auto* out = static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result->get())));
    gather_row_major(reinterpret_cast<const std::byte*>(array.data()), array.shape,
                     byte_strides<T>(array.strides), out);
    return result;
}

}  // namespace

PyResult<PyRef> to_numpy(const storage::CpuStorage& storage) {
    MORLA_TRY(auto descr, engine::cpu::storage::numpy_descr(storage.dtype()));
    return std::visit(
        [&](const auto& array) { return array_to_numpy(array, PyRef::borrow(descr)); },
        storage.array());
}

}  // namespace tensor::api
