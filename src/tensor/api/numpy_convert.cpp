#include "tensor/api/numpy_convert.hpp"

#include <cstring>
#include <optional>

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

template <class T>
PyResult<PyRef> array_to_numpy(const StridedArray<T>& array, PyRef descr) {
    const std::size_t rank = array.rank();
    std::vector<npy_intp> dims(array.shape.begin(), array.shape.end());
    const bool block = is_row_major(array.shape, array.strides) ||
                       is_col_major(array.shape, array.strides);
    if (block) {
        // One block copy; a column-major storage gives a Fortran-ordered array.
        std::vector<npy_intp> byte_strides(rank);
        for (std::size_t axis = 0; axis < rank; ++axis) {
            byte_strides[axis] = array.strides[axis] * npy_intp(sizeof(T));
        }
        std::optional<BlockArrays> blocks;
        if (array.numel() * sizeof(T) >= block_array_bytes) blocks.emplace();
        auto result = runtime::checked(PyArray_NewFromDescr(
            &PyArray_Type, reinterpret_cast<PyArray_Descr*>(descr.release()), int(rank),
            dims.data(), byte_strides.data(), nullptr, NPY_ARRAY_WRITEABLE, nullptr));
        blocks.reset();
        if (result && array.numel() != 0) {
            auto* out = PyArray_DATA(reinterpret_cast<PyArrayObject*>(result->get()));
            std::memcpy(out, array.data(), array.numel() * sizeof(T));
        }
        return result;
    }
    std::optional<BlockArrays> blocks;
    if (array.numel() * sizeof(T) >= block_array_bytes) blocks.emplace();
    auto result = runtime::checked(PyArray_NewFromDescr(
        &PyArray_Type, reinterpret_cast<PyArray_Descr*>(descr.release()), int(rank), dims.data(),
        nullptr, nullptr, 0, nullptr));
    blocks.reset();
    if (!result) return result;
    Strides byte_strides(array.strides);
    for (auto& stride : byte_strides) stride *= std::ptrdiff_t(sizeof(T));
    auto* out = static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result->get())));
    gather_row_major(reinterpret_cast<const std::byte*>(array.data()), array.shape, byte_strides,
                     out);
    return result;
}

}  // namespace

PyResult<PyRef> to_numpy(const storage::CpuStorage& storage) {
    auto descr = engine::cpu::storage::numpy_descr(storage.dtype());
    if (!descr) return runtime::raised();
    return std::visit([&](const auto& array) { return array_to_numpy(array, PyRef::borrow(*descr)); },
                      storage.array());
}

}  // namespace tensor::api
