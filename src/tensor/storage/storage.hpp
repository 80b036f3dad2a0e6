#pragma once
// Storage: the device-level storage of a tensor. The CPU is the only device, so its one
// alternative holds a CpuStorage, and the elements are taken out of it directly.

#include <memory>
#include <variant>

#include "engine/cpu/storage/cpu_storage.hpp"

namespace tensor::storage {

using engine::cpu::storage::CpuStorage;

class Storage {
public:
    explicit Storage(CpuStorage&& cpu) : device_(std::move(cpu)) {}
    Storage clone() const { return Storage(cpu().clone()); }

    const CpuStorage& cpu() const { return std::get<CpuStorage>(device_); }

private:
    std::variant<CpuStorage> device_;
};

// Storages are shared by atomic reference count between tensors and the nodes that saved them.
using SharedStorage = std::shared_ptr<const Storage>;

inline SharedStorage share(CpuStorage&& cpu) {
    return std::make_shared<const Storage>(std::move(cpu));
}

}  // namespace tensor::storage
