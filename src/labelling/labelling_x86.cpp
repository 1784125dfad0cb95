// The x86-64 code of labelling: the streaming stores of the label rows, the AVX2 path that
// writes them, and a mask read sixteen bytes at a time. It compiles to nothing elsewhere.
#include "labelling_x86.h"

#if TONESIFT_X86_64

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <vector>

namespace tonesift::x86 {
namespace {

using Label = std::int32_t;
using level_rows::Word;
using level_rows::word_bits;

// For each byte of a row's bits, eight pixels: in byte i of counts[b], how many runs start at
// bits 0..i of b; in byte i of lanes[b], 0xFF where bit i is set. Both together are 4 KiB.
struct ByteTables {
    std::array<std::uint64_t, 256> counts, lanes;
};

constexpr ByteTables byte_tables = [] {
    ByteTables tables{};
    for (unsigned starts = 0; starts < 256; ++starts) {
        unsigned count = 0;
        for (unsigned bit = 0; bit < 8; ++bit) {
            count += starts >> bit & 1;
            tables.counts[starts] |= std::uint64_t{count} << (8 * bit);
            tables.lanes[starts] |= std::uint64_t{(starts >> bit & 1) * 0xFFu} << (8 * bit);
        }
    }
    return tables;
}();

// The same, eight labels a step with no branch on the data, for the runs' variable lengths
// mispredict a fill's loop about once per run. A pixel of a run that starts within its step
// takes the number of the run that many starts on; one of a run begun earlier takes the current
// run's; a background pixel is masked to 0. `numbers` holds a row's runs from index 1; index 0
// (the run before, or nothing) is read only for pixels that are masked, and the last run is
// followed by eight readable entries.
//
// A row of the label image that starts on 16 bytes takes its whole steps straight from the
// registers, streamed; any other row, and the last few pixels of a row, go through a line in
// the cache first.
[[gnu::target("avx2")]] void rows_avx2(std::size_t width, std::size_t first_row,
                                       std::size_t end_row, Label *labels, const Word *bits,
                                       const Label *numbers)
{
    const std::size_t words = level_rows::words_for(width), whole = width / 8 * 8;
    std::vector<Label> line(words * word_bits);
    for (std::size_t y = first_row; y < end_row; ++y) {
        Label *out = labels + y * width;
        const bool direct = reinterpret_cast<std::uintptr_t>(out) % 16 == 0;
        const Word *row = bits + y * words;
        std::size_t started = 0;  // runs of the row that start before the step
        Word carry = 0;           // the pixel before the word's first
        for (std::size_t w = 0; w < words; ++w) {
            const Word word = row[w];
            const Word starts = word & ~(word << 1 | carry);
            carry = word >> (word_bits - 1);
            for (unsigned byte = 0; byte < 8; ++byte) {
                const unsigned s = starts >> (8 * byte) & 0xFF, b = word >> (8 * byte) & 0xFF;
                const __m256i steps = _mm256_cvtepu8_epi32(
                    _mm_loadl_epi64(reinterpret_cast<const __m128i *>(&byte_tables.counts[s])));
                const __m256i lanes = _mm256_cvtepi8_epi32(
                    _mm_loadl_epi64(reinterpret_cast<const __m128i *>(&byte_tables.lanes[b])));
                const __m256i current = _mm256_loadu_si256(
                    reinterpret_cast<const __m256i *>(numbers + started));
                const __m256i eight =
                    _mm256_and_si256(_mm256_permutevar8x32_epi32(current, steps), lanes);
                const std::size_t x = w * word_bits + 8 * byte;
                if (direct && x < whole) {
                    _mm_stream_si128(reinterpret_cast<__m128i *>(out + x),
                                     _mm256_castsi256_si128(eight));
                    _mm_stream_si128(reinterpret_cast<__m128i *>(out + x + 4),
                                     _mm256_extracti128_si256(eight, 1));
                } else {
                    _mm256_storeu_si256(reinterpret_cast<__m256i *>(line.data() + x), eight);
                }
                started += static_cast<std::size_t>(__builtin_popcount(s));
            }
        }
        numbers += started;
        if (direct) {
            std::copy(line.data() + whole, line.data() + width, out + whole);
        } else {
            stream_row(line.data(), width, out);
        }
    }
}

}  // namespace

// The image is only written, and streaming stores spare reading each of its lines in first (a
// third of the memory traffic).
void stream_row(const std::int32_t *row, std::size_t width, std::int32_t *out) noexcept
{
    std::size_t x = 0;
    for (; x < width && reinterpret_cast<std::uintptr_t>(out + x) % 16 != 0; ++x) {
        out[x] = row[x];
    }
    for (; x + 4 <= width; x += 4) {
        _mm_stream_si128(reinterpret_cast<__m128i *>(out + x),
                         _mm_loadu_si128(reinterpret_cast<const __m128i *>(row + x)));
    }
    std::copy(row + x, row + width, out + x);
}

void fence_streamed_stores() noexcept { _mm_sfence(); }

void label_rows(std::size_t width, std::size_t first_row, std::size_t end_row,
                std::int32_t *labels, const level_rows::Word *bits, const std::int32_t *numbers)
{
    rows_avx2(width, first_row, end_row, labels, bits, numbers);
}

std::size_t mask_bits(const unsigned char *in, std::size_t width, level_rows::Word *bits) noexcept
{
    // Sixteen bytes at a time: compare with zero, keep the sign bits, invert.
    const __m128i zero = _mm_setzero_si128();
    std::size_t x = 0;
    for (; x + 16 <= width; x += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + x));
        const auto ones =
            static_cast<Word>(~_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, zero)) & 0xFFFF);
        if (x % word_bits == 0) {
            bits[x / word_bits] = ones;
        } else {
            bits[x / word_bits] |= ones << (x % word_bits);
        }
    }
    return x;
}

}  // namespace tonesift::x86

#endif
