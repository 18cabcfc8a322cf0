// Building message texts (the standard library of GCC 12 has no std::format).
#pragma once

#include <charconv>
#include <concepts>
#include <string>
#include <string_view>

namespace orbisk {

namespace detail {
inline void cat_one(std::string& out, std::string_view s) { out += s; }
inline void cat_one(std::string& out, char c) { out += c; }
template <std::integral T>
requires(!std::same_as<T, char> && !std::same_as<T, bool>) void cat_one(std::string& out, T v) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}
}  // namespace detail

// Concatenates strings, characters and integers (integers in decimal).
template <class... Args>
std::string cat(const Args&... args) {
    std::string out;
    (detail::cat_one(out, args), ...);
    return out;
}

// Exactly 8 lower-case hexadecimal digits.
inline std::string hex8(std::uint32_t v) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out(8, '0');
    for (int i = 7; i >= 0; --i, v >>= 4) out[static_cast<std::size_t>(i)] = digits[v & 15];
    return out;
}

}  // namespace orbisk
