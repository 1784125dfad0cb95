// A label image's rows. Where the runs fall is the data, and on photographs a run begins or
// ends every few dozen pixels, so that a loop over a run's pixels mispredicts its end about once
// per run: the AVX2 path writes eight labels a step with no branch on the data; the plain one
// fills run after run, four labels a store.
#include "label_rows.h"

#include "dispatch.h"
#include "labelling_x86.h"
#include "level_rows.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

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

// Copies a row of labels to the label image, past the caches where the CPU can (x86-64).
void stream_row(const Label *row, std::size_t width, Label *out) noexcept
{
    if constexpr (simd::x86_64) {
        x86::stream_row(row, width, out);
    } else {
        std::copy(row, row + width, out);
    }
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

}  // namespace

void write(std::size_t width, std::size_t first_row, std::size_t end_row, const Word *bits,
           const Label *numbers, Label *labels)
{
    if constexpr (simd::x86_64) {
        if (simd::active() == simd::Path::avx2) {
            x86::label_rows(width, first_row, end_row, labels, bits, numbers);
        } else {
            rows_by_runs(width, first_row, end_row, labels, bits, numbers);
        }
        x86::fence_streamed_stores();  // they are seen before the rows count as written
    } else {
        rows_by_runs(width, first_row, end_row, labels, bits, numbers);
    }
}

}  // namespace tonesift::label_rows
