// Verdicts of whole rows of 8-bit pixels, as bits: the inner loop of every whole-image path.
// Three ways give the same bits: plain C++ for any layout, and for packed pixels (3 or 4 bytes
// each, any channel order) SSE2, which every x86-64 has, and AVX2, chosen at run time where the
// CPU has it, so that one binary runs everywhere. Plain C++, no Python.
#pragma once

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

// avx2 stands for AVX2 with the bit instructions of the same CPUs: POPCNT, BMI1 and BMI2.
enum class Path { scalar, sse2, avx2 };

// One row of pixels: pixel x's red level at first[x * column_stride + red], and so on.
struct Row {
    const unsigned char *first;
    std::size_t width;
    std::ptrdiff_t column_stride, red, green, blue;  // in bytes
};

// Whether this CPU (and its operating system) can run `path`.
bool supported(Path path) noexcept;

// The fastest path that this CPU runs.
Path best_path() noexcept;

// The path that the whole-image core uses, best_path() unless chosen otherwise.
Path active_path() noexcept;
void set_active_path(Path path) noexcept;  // the path must be supported()

// Sets bit x % 64 of bits[x / 64] for each skin pixel x of the row and clears the others, the
// bits past the width included. Rows that are not packed take the scalar path whatever `path`.
void classify(const Row &row, Word *bits, Path path) noexcept;

// Expands the first `width` bits to one byte each, 1 or 0.
void expand(const Word *bits, std::size_t width, std::uint8_t *bytes) noexcept;

}  // namespace tonesift::level_rows
