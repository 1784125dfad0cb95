// The lanes evaluate all four rules for every pixel, with no branch, and combine them as the
// rules in turn would: a pixel is skin if the RGB rule accepts, or else if the normalised rule
// does not fail and it, the HSV rule or the YCbCr rule accepts. A group of lanes in which a pixel
// fails is done again one pixel at a time, which finds the first failing pixel exactly.
#include "double_rows.h"

// Vectors are passed only between always-inlined functions, so no call's ABI depends on AVX.
#pragma GCC diagnostic ignored "-Wpsabi"

#include "colour_rules.h"
#include "rule_arithmetic.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace tonesift::double_rows {
namespace {

using level_rows::Row;
using level_rows::Word;
using level_rows::word_bits;
namespace arithmetic = colour_rules::arithmetic;

double component_at(const unsigned char *pixel, std::ptrdiff_t offset) noexcept
{
    double value;  // a strided view need not be aligned
    std::memcpy(&value, pixel + offset, sizeof value);
    return value;
}

// Pixels [x, width) one at a time, into bits that are already clear.
bool scalar_from(const Row &row, std::size_t x, Word *bits, std::size_t &column) noexcept
{
    using colour_rules::Verdict;
    const unsigned char *pixel = row.first + static_cast<std::ptrdiff_t>(x) * row.column_stride;
    for (; x < row.width; ++x, pixel += row.column_stride) {
        const Verdict verdict =
            colour_rules::classify(component_at(pixel, row.red), component_at(pixel, row.green),
                                   component_at(pixel, row.blue));
        if (verdict != Verdict::accept && verdict != Verdict::reject) {
            column = x;
            return false;
        }
        bits[x / word_bits] |= Word{verdict == Verdict::accept} << (x % word_bits);
    }
    return true;
}

#if TONESIFT_X86_64

using Two = double __attribute__((vector_size(16)));
using Four = double __attribute__((vector_size(32)));

// One bit per lane.
template <class M> [[gnu::always_inline]] inline unsigned lane_bits(M mask) noexcept
{
    unsigned bits = 0;
    for (unsigned lane = 0; lane < sizeof mask / sizeof mask[0]; ++lane) {
        bits |= static_cast<unsigned>(mask[lane] & 1) << lane;
    }
    return bits;
}

// Skin and failing lanes of one group of pixels.
struct Lanes {
    unsigned skin, failed;
};

template <class V> [[gnu::always_inline]] inline Lanes rules(V r, V g, V b) noexcept
{
    using namespace arithmetic;
    const auto rgb = rgb_accepts(r, g, b);
    const Normalised normalised = normalised_rgb(r, g, b);
    const auto failed = normalised.failed_normalising | normalised.failed_ratio_test;
    const auto later = normalised.accepted | hsv_accepts(r, g, b) | ycbcr_accepts(r, g, b);
    // A lane that the RGB rule accepts never reaches the normalised rule's divisions.
    return {lane_bits(rgb | (later & ~failed)), lane_bits(failed & ~rgb)};
}

template <class V, int lanes>
[[gnu::always_inline]] inline bool lanes_row(const Row &row, Word *bits,
                                             std::size_t &column) noexcept
{
    const unsigned char *pixel = row.first;
    std::size_t x = 0;
    for (; x + lanes <= row.width; x += lanes) {
        V r, g, b;
        for (int lane = 0; lane < lanes; ++lane, pixel += row.column_stride) {
            r[lane] = component_at(pixel, row.red);
            g[lane] = component_at(pixel, row.green);
            b[lane] = component_at(pixel, row.blue);
        }
        const Lanes verdicts = rules(r, g, b);
        if (verdicts.failed != 0) {
            break;
        }
        // A group never straddles two words: the lane count divides 64.
        bits[x / word_bits] |= Word{verdicts.skin} << (x % word_bits);
    }
    return scalar_from(row, x, bits, column);
}

bool row_sse2(const Row &row, Word *bits, std::size_t &column) noexcept
{
    return lanes_row<Two, 2>(row, bits, column);
}

[[gnu::target("avx2")]] bool row_avx2(const Row &row, Word *bits, std::size_t &column) noexcept
{
    return lanes_row<Four, 4>(row, bits, column);
}

#endif

}  // namespace

bool classify(const Row &row, Word *bits, std::size_t &column,
              [[maybe_unused]] level_rows::Path path) noexcept
{
    std::fill(bits, bits + level_rows::words_for(row.width), Word{0});
#if TONESIFT_X86_64
    if (path == level_rows::Path::avx2) {
        return row_avx2(row, bits, column);
    }
    if (path == level_rows::Path::sse2) {
        return row_sse2(row, bits, column);
    }
#endif
    return scalar_from(row, 0, bits, column);
}

}  // namespace tonesift::double_rows
