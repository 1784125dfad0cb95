// Two-pass labelling of runs. The first pass finds each row's runs of region pixels and gives
// every run a provisional label: that of the runs it touches in the row above, whose sets it
// merges (union-find), or a new one. Only the label of each run's first pixel is written. The
// second pass goes over the same runs again (kept as bits, an eighth of a byte per pixel),
// writes the sets' final numbers over whole runs and the background between them, and sums up
// each region run by run. Rows are read as bits, so a run costs a few instructions whatever its
// length, and most work is per run, not per pixel.
//
// On several threads, each band of rows runs the first pass on its own labels. The bands' labels
// are then numbered one after another, so that the order of labels is still the reading order
// of their first pixels, and the runs that touch across each seam between bands merge their
// sets. The second pass runs by bands again, summing per band, and the sums are combined.
#include "regions.h"

#include "bands.h"

#include <algorithm>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

    Label size() const noexcept { return static_cast<Label>(parent_.size() - 1); }

    // Adds the labels of another set, renumbered from `offset` + 1, with their equivalences.
    void append(const Equivalences &other, Label offset)
    {
        for (std::size_t x = 1; x < other.parent_.size(); ++x) {
            parent_.push_back(other.parent_[x] + offset);
        }
    }

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

// Calls touched(k) for each run above[k] that touches [s, e), moving `first` past the runs that
// no later run of the row can touch. Runs of a row are in order and do not overlap.
template <Connectivity connectivity, class Touched>
void for_each_touching(const std::vector<Run> &above, std::size_t &first, std::size_t s,
                       std::size_t e, Touched touched)
{
    while (first < above.size() && !touches<connectivity>(above[first], s, e) &&
           above[first].end <= s) {
        ++first;
    }
    std::size_t k = first;
    for (; k < above.size() && touches<connectivity>(above[k], s, e); ++k) {
        touched(k);
    }
    // The last run touched may touch the next run too; the ones before it cannot.
    first = k > first ? k - 1 : first;
}

std::size_t words_per_row(const Mask &mask) noexcept
{
    return (mask.width + word_bits - 1) / word_bits;
}

// First pass over rows [first_row, end_row), as if the first of them were the image's top. It
// keeps each row's bits: later steps must see the very runs this pass labelled, even if another
// thread writes into the mask meanwhile.
template <Connectivity connectivity>
void provisional_labels(const Mask &mask, std::size_t first_row, std::size_t end_row,
                        Label *labels, Word *bits, Equivalences &sets)
{
    std::vector<Run> above, here;
    for (std::size_t y = first_row; y < end_row; ++y) {
        Word *row = bits + y * words_per_row(mask);
        read_row(mask, y, row);
        here.clear();
        std::size_t first = 0;
        for_each_run(row, mask.width, [&](std::size_t s, std::size_t e) {
            Label label = 0;
            for_each_touching<connectivity>(above, first, s, e, [&](std::size_t k) {
                label = label ? sets.merge(label, above[k].label) : above[k].label;
            });
            if (label == 0) {
                label = sets.make();
            }
            here.push_back({s, e, label});
            labels[y * mask.width + s] = label;
        });
        std::swap(above, here);
    }
}

// The runs of row y with their provisional labels, moved by `offset`.
std::vector<Run> labelled_runs(const Mask &mask, std::size_t y, const Label *labels,
                               const Word *bits, Label offset)
{
    std::vector<Run> runs;
    for_each_run(bits + y * words_per_row(mask), mask.width, [&](std::size_t s, std::size_t e) {
        runs.push_back({s, e, labels[y * mask.width + s] + offset});
    });
    return runs;
}

// Merges the sets of runs that touch across the seam above row y, the first row of a band.
template <Connectivity connectivity>
void merge_seam(const Mask &mask, std::size_t y, const Label *labels, const Word *bits,
                Label offset_above, Label offset_below, Equivalences &sets)
{
    const std::vector<Run> above = labelled_runs(mask, y - 1, labels, bits, offset_above);
    std::size_t first = 0;
    for (const Run &run : labelled_runs(mask, y, labels, bits, offset_below)) {
        for_each_touching<connectivity>(above, first, run.start, run.end, [&](std::size_t k) {
            sets.merge(run.label, above[k].label);
        });
    }
}

struct Totals {
    std::int64_t pixels = 0;
    Label left = std::numeric_limits<Label>::max(), top = std::numeric_limits<Label>::max();
    Label right = -1, bottom = -1;

    void add(const Totals &other) noexcept
    {
        pixels += other.pixels;
        left = std::min(left, other.left);
        top = std::min(top, other.top);
        right = std::max(right, other.right);
        bottom = std::max(bottom, other.bottom);
    }
};

// Second pass over rows [first_row, end_row): final numbers over whole runs and zeros between
// them, and each provisional label's totals (totals[label], labels moved by `offset`).
void final_labels(const Mask &mask, std::size_t first_row, std::size_t end_row, Label *labels,
                  const Word *bits, const Equivalences &sets, Label offset,
                  std::vector<Totals> &totals)
{
    for (std::size_t y = first_row; y < end_row; ++y) {
        Label *line = labels + y * mask.width;
        std::size_t done = 0;
        for_each_run(bits + y * words_per_row(mask), mask.width, [&](std::size_t s,
                                                                     std::size_t e) {
            Totals &run = totals[static_cast<std::size_t>(line[s])];
            std::fill(line + done, line + s, 0);
            std::fill(line + s, line + e, sets.final_number(line[s] + offset));
            done = e;
            run.add({static_cast<std::int64_t>(e - s), static_cast<Label>(s),
                     static_cast<Label>(y), static_cast<Label>(e - 1), static_cast<Label>(y)});
        });
        std::fill(line + done, line + mask.width, 0);
    }
}

template <Connectivity connectivity>
void label_regions(const Mask &mask, Label *labels, Regions &regions, unsigned threads)
{
    const unsigned bands = parallel::band_count(mask.height, threads);
    std::vector<Word> bits(mask.height * words_per_row(mask));
    std::vector<Equivalences> band_sets(bands);
    parallel::for_each_band(mask.height, bands, [&](unsigned band, std::size_t first,
                                                    std::size_t end) {
        provisional_labels<connectivity>(mask, first, end, labels, bits.data(), band_sets[band]);
    });
    Equivalences sets;
    std::vector<Label> offsets(bands);
    std::vector<Label> sizes(bands);
    for (unsigned band = 0; band < bands; ++band) {
        offsets[band] = sets.size();
        sizes[band] = band_sets[band].size();
        sets.append(band_sets[band], offsets[band]);
        band_sets[band] = Equivalences();
    }
    for (unsigned band = 1; band < bands; ++band) {
        const std::size_t y = parallel::band_start(mask.height, bands, band);
        merge_seam<connectivity>(mask, y, labels, bits.data(), offsets[band - 1], offsets[band],
                                 sets);
    }
    const Label count = sets.flatten();
    std::vector<std::vector<Totals>> band_totals(bands);
    parallel::for_each_band(mask.height, bands, [&](unsigned band, std::size_t first,
                                                    std::size_t end) {
        band_totals[band].resize(static_cast<std::size_t>(sizes[band]) + 1);
        final_labels(mask, first, end, labels, bits.data(), sets, offsets[band],
                     band_totals[band]);
    });
    std::vector<Totals> totals(static_cast<std::size_t>(count));
    for (unsigned band = 0; band < bands; ++band) {
        for (Label x = 1; x <= sizes[band]; ++x) {
            const Label number = sets.final_number(offsets[band] + x);
            totals[static_cast<std::size_t>(number) - 1].add(band_totals[band][x]);
        }
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

}  // namespace

void label(const Mask &mask, Connectivity connectivity, Label *labels, Regions &regions,
           unsigned threads)
{
    if (connectivity == Connectivity::four) {
        label_regions<Connectivity::four>(mask, labels, regions, threads);
    } else {
        label_regions<Connectivity::eight>(mask, labels, regions, threads);
    }
}

}  // namespace tonesift::labelling
