// A label image's rows. Where the runs fall is the data, and on photographs a run begins or
// ends every few dozen pixels, so that a loop over a run's pixels mispredicts its end about once
// per run: the AVX2 path writes eight labels a step with no branch on the data; the plain one
// fills run after run, four labels a store.
#include "label_rows.h"

#include "dispatch.h"
#include "level_rows.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tonesift::label_rows {
namespace {

using Label = std::int32_t;
using level_rows::Word;
using level_rows::word_bits;

// Calls run(start, end) for each run [start, end) of set bits among the first `width`.
template <class Run> void for_each_run(const Word *bits, std::size_t width, Run run)
{
    const std::size_t words = level_rows::words_for(width);
    std::size_t start = 0;
    Word previous = 0;  // the bit before the current word's first
    for (std::size_t w = 0; w < words; ++w) {
        const Word word = bits[w];
        // A set bit of `edges` marks a pixel that differs from the one before it.
        Word edges = word ^ (word << 1 | previous);
        previous = word >> (word_bits - 1);
        while (edges != 0) {
            const std::size_t x = w * word_bits + static_cast<std::size_t>(__builtin_ctzll(edges));
            edges &= edges - 1;
            if (word >> (x % word_bits) & 1) {
                start = x;
            } else {
                run(start, x);
            }
        }
    }
    if (previous != 0) {
        run(start, width);
    }
}

// Copies a row of labels to the label image past the caches: the image is only written, and
// streaming stores spare reading each of its lines in first (a third of the memory traffic).
void stream_row(const Label *row, std::size_t width, Label *out) noexcept
{
    std::size_t x = 0;
#if defined(__SSE2__)
    for (; x < width && reinterpret_cast<std::uintptr_t>(out + x) % 16 != 0; ++x) {
        out[x] = row[x];
    }
    for (; x + 4 <= width; x += 4) {
        _mm_stream_si128(reinterpret_cast<__m128i *>(out + x),
                         _mm_loadu_si128(reinterpret_cast<const __m128i *>(row + x)));
    }
#endif
    std::copy(row + x, row + width, out + x);
}

// Fills line[from, to) with `value` four labels at a time, writing up to three past `to`. The
// fills of a row go left to right, each from where the last one ended, so whatever one writes
// past its end the next writes again: a short run costs a store or two, not a call.
void fill_over(Label *line, std::size_t from, std::size_t to, Label value) noexcept
{
    const Label four[4] = {value, value, value, value};
    for (; from < to; from += 4) {
        std::memcpy(line + from, four, sizeof four);
    }
}

// Rows [first_row, end_row) without SIMD: the numbers over whole runs, zeros between them.
void rows_by_runs(std::size_t width, std::size_t first_row, std::size_t end_row, Label *labels,
                  const Word *bits, const Label *numbers)
{
    const std::size_t words = level_rows::words_for(width);
    std::vector<Label> line(width + 3);  // room for the last fill's overshoot
    for (std::size_t y = first_row; y < end_row; ++y) {
        std::size_t done = 0;
        for_each_run(bits + y * words, width, [&](std::size_t s, std::size_t e) {
            fill_over(line.data(), done, s, 0);
            fill_over(line.data(), s, e, *++numbers);
            done = e;
        });
        fill_over(line.data(), done, width, 0);
        stream_row(line.data(), width, labels + y * width);
    }
}

#if defined(__x86_64__)

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

#endif

}  // namespace

void write(std::size_t width, std::size_t first_row, std::size_t end_row, const Word *bits,
           const Label *numbers, Label *labels)
{
#if defined(__x86_64__)
    if (simd::active() == simd::Path::avx2) {
        rows_avx2(width, first_row, end_row, labels, bits, numbers);
    } else {
        rows_by_runs(width, first_row, end_row, labels, bits, numbers);
    }
#else
    rows_by_runs(width, first_row, end_row, labels, bits, numbers);
#endif
#if defined(__SSE2__)
    _mm_sfence();  // the streamed stores are seen before the rows count as written
#endif
}

}  // namespace tonesift::label_rows
