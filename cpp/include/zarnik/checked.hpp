// Overflow-checked size arithmetic for buffer sizes and offsets. A product or
// sum that does not fit in std::size_t throws std::length_error instead of
// wrapping around and sizing a buffer too small; the bindings turn it into a
// Python exception.
#pragma once

#include <cstddef>
#include <limits>
#include <stdexcept>
#include <string>

namespace zarnik {

inline std::size_t mul_size(std::size_t a, std::size_t b, const char* what = "buffer") {
    if (a != 0 && b > std::numeric_limits<std::size_t>::max() / a) {
        throw std::length_error(std::string(what) + ": size " + std::to_string(a) + " x " + std::to_string(b) +
                                " is too large");
    }
    return a * b;
}

inline std::size_t mul_size(std::size_t a, std::size_t b, std::size_t c, const char* what = "buffer") {
    return mul_size(mul_size(a, b, what), c, what);
}

inline std::size_t add_size(std::size_t a, std::size_t b, const char* what = "buffer") {
    if (b > std::numeric_limits<std::size_t>::max() - a) {
        throw std::length_error(std::string(what) + ": size " + std::to_string(a) + " + " + std::to_string(b) +
                                " is too large");
    }
    return a + b;
}

}  // namespace zarnik
