#pragma once
// Storages handed back to Python as new NumPy arrays that own their data. A failure throws
// runtime::PythonError with the exception set.

#include "runtime/pyref.hpp"
#include "tensor/storage/storage.hpp"

namespace tensor::api {

runtime::PyRef to_numpy(const storage::CpuStorage& storage);

}  // namespace tensor::api
