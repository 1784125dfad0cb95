// Verdicts of whole rows of 8-bit pixels, as bits: the inner loop of every whole-image path.
// Three ways give the same bits: plain C++ for any layout, and for packed pixels (3 or 4 bytes
// each, any channel order) SSE2, which every x86-64 has, and AVX2, where the CPU has it (the
// path is the caller's, from simd::active()), so that one binary runs everywhere. Plain C++, no
// Python.
#pragma once

#include "dispatch.h"

#include <cstddef>
#include <cstdint>

namespace tonesift::level_rows {

using Word = std::uint64_t;
constexpr std::size_t word_bits = 64;

// The words that hold a row of `width` bits.
constexpr std::size_t words_for(std::size_t width) noexcept
{
    return (width + word_bits - 1) / word_bits;
}

using Path = simd::Path;

// One row of pixels: pixel x's red level at first[x * column_stride + red], and so on.
struct Row {
    const unsigned char *first;
    std::size_t width;
    std::ptrdiff_t column_stride, red, green, blue;  // in bytes
};

// Sets bit x % 64 of bits[x / 64] for each skin pixel x of the row and clears the others, the
// bits past the width included. Rows that are not packed take the scalar path whatever `path`.
void classify(const Row &row, Word *bits, Path path) noexcept;

// Expands the first `width` bits to one byte each, 1 or 0.
void expand(const Word *bits, std::size_t width, std::uint8_t *bytes) noexcept;

}  // namespace tonesift::level_rows
