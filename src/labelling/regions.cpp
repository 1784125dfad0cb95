// Two-pass labelling of runs. The first pass finds each row's runs of region pixels and gives
// every run a provisional label: that of the runs it touches in the row above, whose sets it
// merges (union-find), or a new one. It sums up each provisional label's pixels, box and
// coordinates run by run, so a region's figures need nothing more than its sets' sums. When a
// label image is wanted, the rows' bits (an eighth of a byte per pixel) and the runs' labels (in
// reading order) are kept, and the second pass (label_rows.h) goes over the same runs again,
// writing the sets' final numbers over whole runs and the background between them; otherwise
// two rows' bits are all it holds. Rows are read as bits, so a run costs a few instructions
// whatever its length, and most work is per run, not per pixel.
//
// Whether a run touches one above, starts a region or ends where a word does is the data itself,
// and on photographs it changes every few dozen pixels: branches on it mispredict about once per
// run. So the hot loops decide by arithmetic instead, and write whatever may be needed rather
// than test whether it is.
//
// On several threads, each band of rows runs the first pass on its own labels. The bands' labels
// are then numbered one after another, so that the order of labels is still the reading order
// of their first pixels, and the runs that touch across each seam between bands merge their
// sets. The second pass runs by bands again.
#include "regions.h"

#include "bands.h"
#include "dispatch.h"
#include "label_rows.h"
#include "labelling_x86.h"
#include "level_rows.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <utility>

namespace tonesift::labelling {
namespace {

using Label = std::int32_t;

// parent[x] <= x always holds, so a set's root is its smallest label: the one made first, at
// the set's first pixel in reading order.
class Equivalences {
public:
    Equivalences() : parent_{0} {}

    // Makes `count` labels, each a set of its own.
    void make(Label count)
    {
        for (Label k = 0; k < count; ++k) {
            parent_.push_back(static_cast<Label>(parent_.size()));
        }
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
    // final when the child is reached. Whether a label is a root is the data's choice, so both
    // answers are worked out and one is kept by arithmetic, which the compiler would
    // otherwise make a branch.
    Label flatten() noexcept
    {
        Label count = 0;
        for (std::size_t x = 1; x < parent_.size(); ++x) {
            const Label parent = parent_[x], final_parent = parent_[parent];
            const Label root = parent == static_cast<Label>(x);
            count += root;
            parent_[x] = final_parent ^ ((final_parent ^ count) & -root);
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

using level_rows::Word;
using level_rows::word_bits;

// Packs row `row` of the mask into bits, pixel x at bit x % 64 of word x / 64, 1 where the
// mask is non-zero; the bits past the width are 0.
void read_row(const Mask &mask, std::size_t row, Word *bits) noexcept
{
    const unsigned char *in = mask.origin + static_cast<std::ptrdiff_t>(row) * mask.row_stride;
    std::size_t x = 0;
    if constexpr (simd::x86_64) {
        if (mask.column_stride == 1) {
            x = x86::mask_bits(in, mask.width, bits);
        }
    }
    for (; x < mask.width; ++x) {
        const Word one = in[static_cast<std::ptrdiff_t>(x) * mask.column_stride] != 0;
        if (x % word_bits == 0) {
            bits[x / word_bits] = 0;
        }
        bits[x / word_bits] |= one << (x % word_bits);
    }
}

struct Run {
    std::size_t start, end;
    Label label;
};

// Whether a run of the row above touches the run [s, e) below it.
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

class MaskRows final : public RowSource {
public:
    explicit MaskRows(const Mask &mask) noexcept : mask_(mask) {}
    void read(std::size_t row, Word *bits) noexcept override { read_row(mask_, row, bits); }

private:
    const Mask &mask_;
};

struct Totals {
    std::int64_t pixels = 0, sum_x = 0, sum_y = 0;
    Label left = std::numeric_limits<Label>::max(), top = std::numeric_limits<Label>::max();
    Label right = -1, bottom = -1;

    // Runs come in reading order, so a run's row is never above the ones before it.
    void add_run(std::uint32_t start, std::uint32_t end, Label y) noexcept
    {
        const std::int64_t length = end - start;
        pixels += length;
        // Columns start..end-1 sum to length * (start + end - 1) / 2, an even product.
        sum_x += length * (static_cast<std::int64_t>(start) + end - 1) >> 1;
        sum_y += length * y;
        left = std::min(left, static_cast<Label>(start));
        right = std::max(right, static_cast<Label>(end - 1));
        top = std::min(top, y);
        bottom = y;
    }

    void add(const Totals &other) noexcept
    {
        pixels += other.pixels;
        sum_x += other.sum_x;
        sum_y += other.sum_y;
        left = std::min(left, other.left);
        top = std::min(top, other.top);
        right = std::max(right, other.right);
        bottom = std::max(bottom, other.bottom);
    }
};

// What the first pass learns of a band of rows.
struct Band {
    Equivalences sets;
    std::vector<Totals> totals = std::vector<Totals>(1);  // by provisional label; 0 unused
    std::vector<Label> run_labels;                         // kept for a label image only
    std::vector<Run> first_runs, last_runs;                // for the seams with other bands
};

// The runs of one row as the edges between them: run k is [edges[2k], edges[2k + 1]), with
// its provisional label at labels[k]. The row's run starts are also kept as bits, with the
// count of starts before each word, so that the runs over any column can be counted at once.
class RowRuns {
public:
    explicit RowRuns(std::size_t width)
        : edges_(width + 2 + 8), labels_(width / 2 + 3), starts_(level_rows::words_for(width) + 1),
          ranks_(starts_.size()), bits_(starts_.data())
    {
    }

    // Finds the runs of a row's bits, which must stay in place while this row is linked to the
    // next. The positions of a word's edges are written eight at a time whether or not there
    // are that many, each over the unused rest of the last, rather than one loop turn per
    // edge, whose end a word's varying count of edges would mispredict.
    [[gnu::always_inline]] void find(const Word *bits, std::size_t width)
    {
        bits_ = bits;
        std::uint32_t *out = edges_.data();
        std::size_t count = 0;
        std::uint32_t rank = 0;  // runs that start in the words before
        Word previous = 0;
        constexpr Word top_bit = Word{1} << (word_bits - 1);
        for (std::size_t w = 0; w < level_rows::words_for(width); ++w) {
            const Word word = bits[w];
            Word edges = word ^ (word << 1 | previous);
            previous = word >> (word_bits - 1);
            starts_[w] = edges & word;
            ranks_[w] = rank;
            rank += static_cast<std::uint32_t>(std::popcount(starts_[w]));
            const auto base = static_cast<std::uint32_t>(w * word_bits);
            const auto found = static_cast<std::size_t>(std::popcount(edges));
            std::uint32_t *at = out + count;
            for (int k = 0; k < 8; ++k) {
                // The top bit changes no edge's place and spares std::countr_zero its test of
                // zero, a branch that the count of edges would decide.
                at[k] = base + static_cast<std::uint32_t>(std::countr_zero(edges | top_bit));
                edges &= edges - 1;
            }
            for (at += 8; edges != 0; edges &= edges - 1) {  // a busy word: past eight edges
                *at++ = base + static_cast<std::uint32_t>(std::countr_zero(edges));
            }
            count += found;
        }
        if (previous != 0) {
            out[count++] = static_cast<std::uint32_t>(width);
        }
        runs_ = count / 2;
    }

    std::size_t runs() const noexcept { return runs_; }
    std::uint32_t start(std::size_t k) const noexcept { return edges_[2 * k]; }
    std::uint32_t end(std::size_t k) const noexcept { return edges_[2 * k + 1]; }
    Label &label(std::size_t k) noexcept { return labels_[k]; }
    // Also at runs() and runs() + 1, which hold no run's label.
    Label label(std::size_t k) const noexcept { return labels_[k]; }
    const Label *labels() const noexcept { return labels_.data(); }

    // How many runs start at or before column x.
    std::uint32_t starts_through(std::size_t x) const noexcept
    {
        const std::size_t w = x / word_bits;
        return ranks_[w] +
               static_cast<std::uint32_t>(std::popcount(
                   starts_[w] & (~Word{0} >> (word_bits - 1 - x % word_bits))));
    }

    // 1 if column x is in a run, else 0.
    std::uint32_t in_run(std::size_t x) const noexcept
    {
        return static_cast<std::uint32_t>(bits_[x / word_bits] >> (x % word_bits) & 1);
    }

    std::vector<Run> as_runs() const
    {
        std::vector<Run> runs(runs_);
        for (std::size_t k = 0; k < runs_; ++k) {
            runs[k] = {start(k), end(k), label(k)};
        }
        return runs;
    }

private:
    std::vector<std::uint32_t> edges_;  // room for eight writes past the last edge
    std::vector<Label> labels_;
    std::vector<Word> starts_;          // a bit at each run's first column
    std::vector<std::uint32_t> ranks_;  // runs that start in the words before
    const Word *bits_;                  // the row, or no runs (zeros) before the first find()
    std::size_t runs_ = 0;
};

// Gives each run of `here` the label of the first run of `above` that it touches, or a new one
// from `next` on when it touches none, and merges the sets of the runs above that it touches;
// returns the next unused label. The runs above that a run touches are the runs over its
// columns (and their two neighbours with diagonals), counted from the starts above: so each run
// is linked on its own, with no walk along the row above whose steps hang on each other.
template <Connectivity connectivity>
[[gnu::always_inline]] inline Label link(const RowRuns &above, RowRuns &here, std::size_t width,
                                         Label next, Equivalences &sets,
                                         std::vector<std::pair<Label, Label>> &merges)
{
    merges.resize(2 * here.runs() + 1);
    std::size_t noted = 0;
    for (std::size_t k = 0; k < here.runs(); ++k) {
        std::size_t first_column = here.start(k), last_column = here.end(k) - 1;
        if constexpr (connectivity == Connectivity::eight) {
            first_column -= first_column != 0;
            last_column = std::min(last_column + 1, width - 1);
        }
        const std::uint32_t first =
            above.starts_through(first_column) - above.in_run(first_column);
        const std::uint32_t count = above.starts_through(last_column) - first;
        // The runs above after the first are noted for merging with it, up to two of them
        // whether or not there are that many; more are rare and merged at once.
        const Label theirs = above.label(first), second = above.label(first + 1),
                    last = above.label(first + count - (count != 0));
        merges[noted] = {theirs, last};
        noted += (count > 1) & (last != theirs);
        merges[noted] = {theirs, second};
        noted += (count > 2) & (second != theirs);
        if (count > 3) [[unlikely]] {
            for (std::uint32_t i = first + 2; i < first + count - 1; ++i) {
                sets.merge(theirs, above.label(i));
            }
        }
        // Arithmetic rather than a choice, which the compiler would make a branch.
        const Label fresh = count == 0;
        here.label(k) = (theirs & (fresh - 1)) | (next & -fresh);
        next += fresh;
    }
    for (std::size_t k = 0; k < noted; ++k) {
        sets.merge(merges[k].first, merges[k].second);
    }
    return next;
}

// First pass over rows [first_row, end_row), as if the first of them were the image's top. With
// `kept` not null, each row's bits go to kept + row * words, for the second pass: it must see
// the very runs that this pass labelled, even if another thread writes into the mask meanwhile.
template <Connectivity connectivity>
[[gnu::always_inline]] inline void first_pass(RowSource &rows, std::size_t width,
                                              std::size_t first_row, std::size_t end_row,
                                              Word *kept, Band &band)
{
    const std::size_t words = level_rows::words_for(width);
    // Two rows' bits when none are kept: the row above must stay readable while this one is
    // linked to it.
    std::vector<Word> scratch(kept != nullptr ? 0 : 2 * words);
    RowRuns above(width), here(width);
    std::vector<std::pair<Label, Label>> merges;
    for (std::size_t y = first_row; y < end_row; ++y) {
        Word *row = kept != nullptr ? kept + y * words : scratch.data() + (y & 1) * words;
        rows.read(y, row);
        here.find(row, width);
        const Label first_new = band.sets.size() + 1;
        const Label next = link<connectivity>(above, here, width, first_new, band.sets, merges);
        band.sets.make(next - first_new);
        band.totals.resize(band.totals.size() + static_cast<std::size_t>(next - first_new));
        Totals *const totals = band.totals.data();
        for (std::size_t k = 0; k < here.runs(); ++k) {
            totals[here.label(k)].add_run(here.start(k), here.end(k), static_cast<Label>(y));
        }
        if (kept != nullptr) {
            band.run_labels.insert(band.run_labels.end(), here.labels(),
                                   here.labels() + here.runs());
        }
        if (y == first_row) {
            band.first_runs = here.as_runs();
        }
        std::swap(above, here);
    }
    band.last_runs = above.as_runs();
}

#if TONESIFT_X86_64
// The first pass built for the CPUs of the AVX2 path, for the bit instructions they all have: a
// word's count of edges is one instruction rather than a dozen, its lowest edge one rather
// than three.
template <Connectivity connectivity>
[[gnu::target("avx2,popcnt,bmi,bmi2")]] void first_pass_avx2(RowSource &rows, std::size_t width,
                                                              std::size_t first_row,
                                                              std::size_t end_row, Word *kept,
                                                              Band &band)
{
    first_pass<connectivity>(rows, width, first_row, end_row, kept, band);
}
#endif

template <Connectivity connectivity>
void provisional_labels(RowSource &rows, std::size_t width, std::size_t first_row,
                        std::size_t end_row, Word *kept, Band &band)
{
#if TONESIFT_X86_64
    if (simd::active() == simd::Path::avx2) {
        first_pass_avx2<connectivity>(rows, width, first_row, end_row, kept, band);
        return;
    }
#endif
    first_pass<connectivity>(rows, width, first_row, end_row, kept, band);
}

// Merges the sets of runs that touch across a seam: the last row of one band above the first
// of the next, with their labels moved by each band's offset.
template <Connectivity connectivity>
void merge_seam(const Band &upper, Label offset_above, const Band &lower, Label offset_below,
                Equivalences &sets)
{
    std::size_t first = 0;
    std::vector<Run> above = upper.last_runs;
    for (Run &run : above) {
        run.label += offset_above;
    }
    for (const Run &run : lower.first_runs) {
        for_each_touching<connectivity>(above, first, run.start, run.end, [&](std::size_t k) {
            sets.merge(run.label + offset_below, above[k].label);
        });
    }
}

// Second pass over rows [first_row, end_row).
void final_labels(std::size_t width, std::size_t first_row, std::size_t end_row, Label *labels,
                  const Word *bits, const Equivalences &sets, Label offset,
                  const std::vector<Label> &run_labels)
{
    // The runs' final numbers in reading order from index 1, with room for eight-label loads.
    std::vector<Label> numbers(run_labels.size() + 9);
    for (std::size_t k = 0; k < run_labels.size(); ++k) {
        numbers[k + 1] = sets.final_number(run_labels[k] + offset);
    }
    label_rows::write(width, first_row, end_row, bits, numbers.data(), labels);
}

// The mean of `count` whole numbers that sum to `sum`, rounded once where the sum is exact as a
// double, as numpy's mean of the coordinates would give it.
double mean(std::int64_t sum, std::int64_t count) noexcept
{
    if (sum <= std::int64_t{1} << 53) {
        return static_cast<double>(sum) / static_cast<double>(count);
    }
    return static_cast<double>(sum / count) +
           static_cast<double>(sum % count) / static_cast<double>(count);
}

template <Connectivity connectivity>
void label_regions(RowSource &rows, std::size_t height, std::size_t width, Label *labels,
                   Regions &regions, unsigned threads)
{
    const unsigned count_of_bands = parallel::band_count(height, threads);
    std::vector<Word> bits(labels != nullptr ? height * level_rows::words_for(width) : 0);
    std::vector<Band> bands(count_of_bands);
    parallel::for_each_band(height, count_of_bands, [&](unsigned band, std::size_t first,
                                                        std::size_t end) {
        provisional_labels<connectivity>(rows, width, first, end,
                                         labels != nullptr ? bits.data() : nullptr, bands[band]);
    });
    Equivalences sets;
    std::vector<Label> offsets(count_of_bands);
    for (unsigned band = 0; band < count_of_bands; ++band) {
        offsets[band] = sets.size();
        sets.append(bands[band].sets, offsets[band]);
        bands[band].sets = Equivalences();
    }
    for (unsigned band = 1; band < count_of_bands; ++band) {
        merge_seam<connectivity>(bands[band - 1], offsets[band - 1], bands[band], offsets[band],
                                 sets);
    }
    const Label count = sets.flatten();
    if (labels != nullptr) {
        parallel::for_each_band(height, count_of_bands, [&](unsigned band, std::size_t first,
                                                            std::size_t end) {
            final_labels(width, first, end, labels, bits.data(), sets, offsets[band],
                         bands[band].run_labels);
        });
    }
    std::vector<Totals> totals(static_cast<std::size_t>(count));
    for (unsigned band = 0; band < count_of_bands; ++band) {
        const std::vector<Totals> &band_totals = bands[band].totals;
        for (std::size_t x = 1; x < band_totals.size(); ++x) {
            const Label number = sets.final_number(offsets[band] + static_cast<Label>(x));
            totals[static_cast<std::size_t>(number) - 1].add(band_totals[x]);
        }
    }
    const std::size_t n = totals.size();
    regions.pixels.resize(n);
    regions.left.resize(n);
    regions.top.resize(n);
    regions.right.resize(n);
    regions.bottom.resize(n);
    regions.centroid_x.resize(n);
    regions.centroid_y.resize(n);
    for (std::size_t k = 0; k < n; ++k) {
        const Totals &region = totals[k];
        regions.pixels[k] = region.pixels;
        regions.left[k] = region.left;
        regions.top[k] = region.top;
        regions.right[k] = region.right;
        regions.bottom[k] = region.bottom;
        regions.centroid_x[k] = mean(region.sum_x, region.pixels);
        regions.centroid_y[k] = mean(region.sum_y, region.pixels);
    }
}

}  // namespace

void label(RowSource &rows, std::size_t height, std::size_t width, Connectivity connectivity,
           Label *labels, Regions &regions, unsigned threads)
{
    if (connectivity == Connectivity::four) {
        label_regions<Connectivity::four>(rows, height, width, labels, regions, threads);
    } else {
        label_regions<Connectivity::eight>(rows, height, width, labels, regions, threads);
    }
}

void label(const Mask &mask, Connectivity connectivity, Label *labels, Regions &regions,
           unsigned threads)
{
    MaskRows rows(mask);
    label(rows, mask.height, mask.width, connectivity, labels, regions, threads);
}

}  // namespace tonesift::labelling
