// Two-pass labelling with union-find. The first pass gives each pixel a provisional label from
// its already visited neighbours, choosing among them by a decision tree that reads as few of
// them as possible (Wu, Otoo and Suzuki's scan for 8-connectivity), and records which labels
// meet. Flattening then numbers the sets, and the second pass writes the final numbers and the
// region statistics.
#include "regions.h"

#include <algorithm>
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

// Copies row `row` of the mask as 0/1 into out[1..width]; out[0] and out[width + 1] stay 0.
void read_row(const Mask &mask, std::size_t row, unsigned char *out) noexcept
{
    const unsigned char *in = mask.origin + static_cast<std::ptrdiff_t>(row) * mask.row_stride;
    if (mask.column_stride == 1) {
        for (std::size_t x = 0; x < mask.width; ++x) {
            out[x + 1] = in[x] != 0;
        }
        return;
    }
    for (std::size_t x = 0; x < mask.width; ++x, in += mask.column_stride) {
        out[x + 1] = *in != 0;
    }
}

// First pass. `above` and `here` are label rows padded by one zero on each side, so that the
// image's edges need no tests.
template <Connectivity connectivity>
void provisional_labels(const Mask &mask, Label *labels, Equivalences &sets)
{
    const std::size_t width = mask.width;
    std::vector<unsigned char> skin(width + 2, 0);
    std::vector<Label> above(width + 2, 0), here(width + 2, 0);
    for (std::size_t row = 0; row < mask.height; ++row) {
        read_row(mask, row, skin.data());
        for (std::size_t x = 1; x <= width; ++x) {
            if (!skin[x]) {
                here[x] = 0;
                continue;
            }
            const Label b = above[x], d = here[x - 1];
            if constexpr (connectivity == Connectivity::four) {
                here[x] = b ? (d && d != b ? sets.merge(b, d) : b) : d ? d : sets.make();
                continue;
            }
            // b touches a, c and d, so it alone decides; c needs a merge with a or d.
            if (b) {
                here[x] = b;
            } else if (const Label c = above[x + 1]) {
                const Label a = above[x - 1];
                here[x] = a ? sets.merge(c, a) : d ? sets.merge(c, d) : c;
            } else if (const Label a = above[x - 1]) {
                here[x] = a;
            } else {
                here[x] = d ? d : sets.make();
            }
        }
        std::copy(here.begin() + 1, here.end() - 1, labels + row * width);
        std::swap(above, here);
    }
}

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
    regions.pixels.assign(count, 0);
    regions.left.assign(count, std::numeric_limits<Label>::max());
    regions.top.assign(count, std::numeric_limits<Label>::max());
    regions.right.assign(count, -1);
    regions.bottom.assign(count, -1);
    for (std::size_t row = 0; row < mask.height; ++row) {
        Label *line = labels + row * mask.width;
        const Label y = static_cast<Label>(row);
        for (std::size_t column = 0; column < mask.width; ++column) {
            if (line[column] == 0) {
                continue;
            }
            const Label number = sets.final_number(line[column]);
            line[column] = number;
            const std::size_t k = static_cast<std::size_t>(number) - 1;
            const Label x = static_cast<Label>(column);
            ++regions.pixels[k];
            regions.left[k] = std::min(regions.left[k], x);
            regions.right[k] = std::max(regions.right[k], x);
            regions.top[k] = std::min(regions.top[k], y);
            regions.bottom[k] = y;  // rows only grow
        }
    }
}

}  // namespace tonesift::labelling
