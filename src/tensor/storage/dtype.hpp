#pragma once
// The four element types. The order is shared with the alternatives of CpuStorage: the DType of
// a storage is the index of its alternative.

#include <cstdint>
#include <optional>
#include <string_view>

namespace tensor::storage {

enum class DType : std::uint8_t { F16 = 0, BF16 = 1, F32 = 2, Bool = 3 };

// The name that messages use ("F16", "BF16", "F32", "Bool").
constexpr std::string_view debug_name(DType dtype) {
    constexpr std::string_view names[] = {"F16", "BF16", "F32", "Bool"};
    return names[static_cast<int>(dtype)];
}

// The name Python sees: the debug name in lower case.
constexpr std::string_view python_name(DType dtype) {
    constexpr std::string_view names[] = {"f16", "bf16", "f32", "bool"};
    return names[static_cast<int>(dtype)];
}

// The seven accepted spellings, matched exactly, letter case included.
constexpr std::optional<DType> dtype_from_spelling(std::string_view text) {
    if (text == "f32" || text == "float32") return DType::F32;
    if (text == "f16" || text == "float16") return DType::F16;
    if (text == "bf16" || text == "bfloat16") return DType::BF16;
    if (text == "bool") return DType::Bool;
    return std::nullopt;
}

// The NumPy dtype name used to build the input array.
constexpr const char* numpy_name(DType dtype) {
    constexpr const char* names[] = {"float16", "bfloat16", "float32", "bool"};
    return names[static_cast<int>(dtype)];
}

}  // namespace tensor::storage
