#pragma once
// Message building: concatenation of texts and numbers, and shapes written as "[2, 3]".

#include <charconv>
#include <concepts>
#include <span>
#include <string>
#include <string_view>

namespace runtime {

inline void append(std::string& out, std::string_view text) { out += text; }

template <std::integral N>
void append(std::string& out, N number) {
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    out.append(digits, end);
}

template <class... Parts>
std::string concat(const Parts&... parts) {
    std::string out;
    (append(out, parts), ...);
    return out;
}

inline std::string hex(unsigned number) {
    char digits[16];
    auto end = std::to_chars(digits, digits + sizeof digits, number, 16).ptr;
    return std::string(digits, end);
}

template <std::integral N>
std::string shape_text(std::span<const N> lengths) {
    std::string out = "[";
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        if (i > 0) out += ", ";
        append(out, lengths[i]);
    }
    out += "]";
    return out;
}

}  // namespace runtime
