// Rows of 8-bit pixels to bits: the plain C++ twin, which every CPU runs, and the choice of the
// vector paths of x86-64 (level_rows_x86.cpp) for packed rows.
#include "level_rows.h"

#include "level_rows_x86.h"
#include "verdict_table.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace tonesift::level_rows {
namespace {

bool accepts(const Row &row, const unsigned char *pixel) noexcept
{
    return verdict_table::accepts(pixel[row.red], pixel[row.green], pixel[row.blue]);
}

// Pixels [x, width) one at a time, into bits that are already clear.
void scalar_from(const Row &row, std::size_t x, Word *bits) noexcept
{
    const unsigned char *pixel = row.first + static_cast<std::ptrdiff_t>(x) * row.column_stride;
    for (; x < row.width; ++x, pixel += row.column_stride) {
        bits[x / word_bits] |= Word{accepts(row, pixel)} << (x % word_bits);
    }
}

constexpr std::array<Word, 256> byte_expansion = [] {
    std::array<Word, 256> table{};
    for (unsigned bits = 0; bits < 256; ++bits) {
        for (unsigned bit = 0; bit < 8; ++bit) {
            table[bits] |= Word{bits >> bit & 1} << (8 * bit);
        }
    }
    return table;
}();

}  // namespace

void classify(const Row &row, Word *bits, Path path) noexcept
{
    std::fill(bits, bits + words_for(row.width), Word{0});
    std::size_t done = 0;
    if constexpr (simd::x86_64) {
        if (path != Path::scalar) {
            auto *bytes = reinterpret_cast<unsigned char *>(bits);  // little-endian words
            done = x86::packed(row, bytes, path);
        }
    }
    scalar_from(row, done, bits);
}

void expand(const Word *bits, std::size_t width, std::uint8_t *bytes) noexcept
{
    std::size_t x = 0;
    if constexpr (std::endian::native == std::endian::little) {
        for (; x + 8 <= width; x += 8) {
            const Word eight = byte_expansion[bits[x / word_bits] >> (x % word_bits) & 0xFF];
            std::memcpy(bytes + x, &eight, sizeof eight);
        }
    }
    for (; x < width; ++x) {
        bytes[x] = bits[x / word_bits] >> (x % word_bits) & 1;
    }
}

}  // namespace tonesift::level_rows
