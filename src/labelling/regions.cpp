// Two-pass labelling of runs. The first pass finds each row's runs of region pixels and gives
// every run a provisional label: that of the runs it touches in the row above, whose sets it
// merges (union-find), or a new one. Only the label of each run's first pixel is written. The
// second pass finds the same runs again, writes the sets' final numbers over whole runs and the
// background between them, and sums up each region run by run. Rows are read as bits, so a run
// costs a few instructions whatever its length, and most work is per run, not per pixel.
#include "regions.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <limits>

namespace tonesift::labelling {
namespace {

using Label = std::int32_t;

// parent[x] <= x always holds, so a set's root is its smallest label: the one made first, at
// the set's first pixel in reading order.
class Equivalences {
public:
    Equivalences() : parent_{0} {}

    Label make()
    {
        parent_.push_back(static_cast<Label>(parent_.size()));
        return parent_.back();
    }

    Label merge(Label a, Label b) noexcept
    {
        a = root(a);
        b = root(b);
        if (a < b) {
            parent_[b] = a;
            return a;
        }
        parent_[a] = b;
        return b;
    }

    // Replaces every label by its set's final number, 1.. in order of the sets' roots, and
    // returns how many sets there are. Each parent is smaller than its child and so is already
    // final when the child is reached.
    Label flatten() noexcept
    {
        Label count = 0;
        for (std::size_t x = 1; x < parent_.size(); ++x) {
            parent_[x] = parent_[x] < static_cast<Label>(x) ? parent_[parent_[x]] : ++count;
        }
        return count;
    }

    Label final_number(Label x) const noexcept { return parent_[x]; }

private:
    Label root(Label x) const noexcept
    {
        while (parent_[x] < x) {
            x = parent_[x];
        }
        return x;
    }

    std::vector<Label> parent_;  // parent_[0] stands for the background
};

using Word = std::uint64_t;
constexpr std::size_t word_bits = 64;

// Packs row `row` of the mask into bits, pixel x at bit x % 64 of word x / 64, 1 where the
// mask is non-zero; the bits past the width are 0.
void read_row(const Mask &mask, std::size_t row, Word *bits) noexcept
{
    const unsigned char *in = mask.origin + static_cast<std::ptrdiff_t>(row) * mask.row_stride;
    std::size_t x = 0;
#if defined(__SSE2__)
    if (mask.column_stride == 1) {
        // Sixteen bytes at a time: compare with zero, keep the sign bits, invert.
        const __m128i zero = _mm_setzero_si128();
        for (; x + 16 <= mask.width; x += 16) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + x));
            const auto ones = static_cast<Word>(
                ~_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, zero)) & 0xFFFF);
            if (x % word_bits == 0) {
                bits[x / word_bits] = ones;
            } else {
                bits[x / word_bits] |= ones << (x % word_bits);
            }
        }
    }
#endif
    for (; x < mask.width; ++x) {
        const Word one = in[static_cast<std::ptrdiff_t>(x) * mask.column_stride] != 0;
        if (x % word_bits == 0) {
            bits[x / word_bits] = 0;
        }
        bits[x / word_bits] |= one << (x % word_bits);
    }
}

// Calls run(start, end) for each run [start, end) of set bits among the first `width`.
template <class Run> void for_each_run(const Word *bits, std::size_t width, Run run)
{
    const std::size_t words = (width + word_bits - 1) / word_bits;
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

struct Run {
    std::size_t start, end;
    Label label;
};

// Whether a run of the row above, [start, end), touches the run [s, e) below it.
template <Connectivity connectivity> bool touches(const Run &above, std::size_t s, std::size_t e)
{
    if constexpr (connectivity == Connectivity::eight) {
        return above.start <= e && above.end >= s;  // diagonal neighbours count
    } else {
        return above.start < e && above.end > s;
    }
}

template <Connectivity connectivity>
void provisional_labels(const Mask &mask, Label *labels, Equivalences &sets)
{
    std::vector<Word> row((mask.width + word_bits - 1) / word_bits);
    std::vector<Run> above, here;
    for (std::size_t y = 0; y < mask.height; ++y) {
        read_row(mask, y, row.data());
        here.clear();
        std::size_t first = 0;  // the first run above that may touch the current run
        for_each_run(row.data(), mask.width, [&](std::size_t s, std::size_t e) {
            while (first < above.size() && !touches<connectivity>(above[first], s, e) &&
                   above[first].end <= s) {
                ++first;
            }
            Label label = 0;
            std::size_t k = first;
            for (; k < above.size() && touches<connectivity>(above[k], s, e); ++k) {
                label = label ? sets.merge(label, above[k].label) : above[k].label;
            }
            // The last run touched may touch the next run too; the ones before it cannot.
            first = k > first ? k - 1 : first;
            if (label == 0) {
                label = sets.make();
            }
            here.push_back({s, e, label});
            labels[y * mask.width + s] = label;
        });
        std::swap(above, here);
    }
}

struct Totals {
    std::int64_t pixels = 0;
    Label left = std::numeric_limits<Label>::max(), top = 0, right = -1, bottom = 0;
};

}  // namespace

void label(const Mask &mask, Connectivity connectivity, Label *labels, Regions &regions)
{
    Equivalences sets;
    if (connectivity == Connectivity::four) {
        provisional_labels<Connectivity::four>(mask, labels, sets);
    } else {
        provisional_labels<Connectivity::eight>(mask, labels, sets);
    }
    const Label count = sets.flatten();
    std::vector<Totals> totals(static_cast<std::size_t>(count));
    std::vector<Word> row((mask.width + word_bits - 1) / word_bits);
    for (std::size_t y = 0; y < mask.height; ++y) {
        read_row(mask, y, row.data());
        Label *line = labels + y * mask.width;
        std::size_t done = 0;
        for_each_run(row.data(), mask.width, [&](std::size_t s, std::size_t e) {
            const Label number = sets.final_number(line[s]);
            std::fill(line + done, line + s, 0);
            std::fill(line + s, line + e, number);
            done = e;
            Totals &region = totals[static_cast<std::size_t>(number) - 1];
            if (region.pixels == 0) {
                region.top = static_cast<Label>(y);  // rows only grow
            }
            region.pixels += static_cast<std::int64_t>(e - s);
            region.left = std::min(region.left, static_cast<Label>(s));
            region.right = std::max(region.right, static_cast<Label>(e - 1));
            region.bottom = static_cast<Label>(y);
        });
        std::fill(line + done, line + mask.width, 0);
    }
    regions.pixels.resize(totals.size());
    regions.left.resize(totals.size());
    regions.top.resize(totals.size());
    regions.right.resize(totals.size());
    regions.bottom.resize(totals.size());
    for (std::size_t k = 0; k < totals.size(); ++k) {
        regions.pixels[k] = totals[k].pixels;
        regions.left[k] = totals[k].left;
        regions.top[k] = totals[k].top;
        regions.right[k] = totals[k].right;
        regions.bottom[k] = totals[k].bottom;
    }
}

}  // namespace tonesift::labelling
