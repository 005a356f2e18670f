#pragma once

#include <cstdint>
#include <optional>

namespace morvane {

// Every byte count derived from image dimensions or file header values goes through
// these helpers: 64-bit, with overflow (and negative inputs) refused instead of wrapped.
inline std::optional<uint64_t> CheckedMul(uint64_t a, uint64_t b) {
    uint64_t r;
    if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
    return r;
}
inline std::optional<uint64_t> CheckedAdd(uint64_t a, uint64_t b) {
    uint64_t r;
    if (__builtin_add_overflow(a, b, &r)) return std::nullopt;
    return r;
}
// Bytes of `count` rows of `rowLen` bytes, or nothing when it does not fit in 64 bits.
inline std::optional<uint64_t> CheckedImageBytes(int64_t rowLen, int64_t count) {
    if (rowLen < 0 || count < 0) return std::nullopt;
    return CheckedMul(uint64_t(rowLen), uint64_t(count));
}

}  // namespace morvane
