#pragma once
// Storages handed back to Python as new NumPy arrays that own their data.

#include "runtime/pyref.hpp"
#include "tensor/storage/storage.hpp"

namespace tensor::api {

runtime::PyResult<runtime::PyRef> to_numpy(const storage::CpuStorage& storage);

}  // namespace tensor::api
