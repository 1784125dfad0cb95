// Labelling against the simplest correct version: a flood fill from each unlabelled pixel in
// reading order, which numbers regions by their first pixel by construction.
#include "level_rows.h"
#include "regions.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

namespace {

namespace labelling = tonesift::labelling;
using labelling::Connectivity;

struct Reference {
    std::vector<std::int32_t> labels;
    labelling::Regions regions;
};

Reference flood_fill(const std::vector<unsigned char> &mask, int height, int width,
                     Connectivity connectivity)
{
    Reference out{std::vector<std::int32_t>(mask.size(), 0), {}};
    std::vector<std::pair<int, int>> stack;
    std::vector<std::pair<std::int64_t, std::int64_t>> sums;  // of columns and rows
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            if (!mask[y * width + x] || out.labels[y * width + x]) {
                continue;
            }
            const auto number = static_cast<std::int32_t>(out.regions.pixels.size() + 1);
            out.regions.pixels.push_back(0);
            sums.emplace_back(0, 0);
            out.regions.left.push_back(x);
            out.regions.right.push_back(x);
            out.regions.top.push_back(y);
            out.regions.bottom.push_back(y);
            out.labels[y * width + x] = number;
            stack.assign(1, {y, x});
            while (!stack.empty()) {
                const auto [py, px] = stack.back();
                stack.pop_back();
                const std::size_t k = number - 1;
                ++out.regions.pixels[k];
                out.regions.left[k] = std::min(out.regions.left[k], px);
                out.regions.right[k] = std::max(out.regions.right[k], px);
                out.regions.top[k] = std::min(out.regions.top[k], py);
                out.regions.bottom[k] = std::max(out.regions.bottom[k], py);
                sums[k].first += px;
                sums[k].second += py;
                for (int dy = -1; dy <= 1; ++dy) {
                    for (int dx = -1; dx <= 1; ++dx) {
                        const bool diagonal = dy != 0 && dx != 0;
                        const int ny = py + dy, nx = px + dx;
                        if ((dy == 0 && dx == 0) || (diagonal && connectivity == Connectivity::four) ||
                            ny < 0 || ny >= height || nx < 0 || nx >= width ||
                            !mask[ny * width + nx] || out.labels[ny * width + nx]) {
                            continue;
                        }
                        out.labels[ny * width + nx] = number;
                        stack.push_back({ny, nx});
                    }
                }
            }
        }
    }
    for (std::size_t k = 0; k < sums.size(); ++k) {
        const auto count = static_cast<double>(out.regions.pixels[k]);
        out.regions.centroid_x.push_back(static_cast<double>(sums[k].first) / count);
        out.regions.centroid_y.push_back(static_cast<double>(sums[k].second) / count);
    }
    return out;
}

void expect_same_regions(const labelling::Regions &found, const labelling::Regions &expected)
{
    EXPECT_EQ(found.pixels, expected.pixels);
    EXPECT_EQ(found.left, expected.left);
    EXPECT_EQ(found.right, expected.right);
    EXPECT_EQ(found.top, expected.top);
    EXPECT_EQ(found.bottom, expected.bottom);
    EXPECT_EQ(found.centroid_x, expected.centroid_x);
    EXPECT_EQ(found.centroid_y, expected.centroid_y);
}

// A mask given as rows of bits, as a classifier gives them, without a byte mask.
class BitRows final : public labelling::RowSource {
public:
    BitRows(const std::vector<unsigned char> &mask, std::size_t width) : mask_(mask), width_(width)
    {
    }
    void read(std::size_t row, std::uint64_t *bits) noexcept override
    {
        for (std::size_t x = 0; x < (width_ + 63) / 64 * 64; ++x) {
            const bool set = x < width_ && mask_[row * width_ + x] != 0;
            bits[x / 64] = (x % 64 == 0 ? 0 : bits[x / 64]) | std::uint64_t{set} << (x % 64);
        }
    }

private:
    const std::vector<unsigned char> &mask_;
    std::size_t width_;
};

using tonesift::level_rows::Path;

// Chooses the SIMD path for as long as it lives.
class PathScope {
public:
    explicit PathScope(Path path) noexcept : before_(tonesift::simd::active())
    {
        tonesift::simd::set_active(path);
    }
    ~PathScope() { tonesift::simd::set_active(before_); }
    PathScope(const PathScope &) = delete;
    PathScope &operator=(const PathScope &) = delete;

private:
    Path before_;
};

// (height, width, density in percent, connectivity)
class RandomMasks : public testing::TestWithParam<std::tuple<int, int, int, Connectivity>> {};

TEST_P(RandomMasks, EqualFloodFill)
{
    const auto [height, width, density, connectivity] = GetParam();
    std::mt19937 random(height * 7919 + width * 31 + density);
    for (int trial = 0; trial < 20; ++trial) {
        // Bytes of any value: only zero is background.
        std::vector<unsigned char> mask(static_cast<std::size_t>(height) * width);
        for (unsigned char &byte : mask) {
            byte = static_cast<int>(random() % 100) < density ? 1 + random() % 255 : 0;
        }
        const Reference expected = flood_fill(mask, height, width, connectivity);
        // Bands of rows on threads, or the SIMD path of the label image, must not change a
        // thing, seams included.
        for (const auto &[threads, path] : {std::pair{1u, Path::avx2}, std::pair{1u, Path::sse2},
                                           std::pair{2u, Path::avx2}, std::pair{3u, Path::sse2},
                                           std::pair{16u, Path::scalar}}) {
            if (!tonesift::simd::supported(path)) {
                continue;
            }
            const PathScope scope(path);
            std::vector<std::int32_t> labels(mask.size(), -7);
            labelling::Regions regions;
            labelling::label({mask.data(), std::size_t(height), std::size_t(width), width, 1},
                             connectivity, labels.data(), regions, threads);
            ASSERT_EQ(labels, expected.labels) << threads << " threads, path " << int(path);
            expect_same_regions(regions, expected.regions);
            // Rows of bits, with and without a label image.
            BitRows rows(mask, width);
            for (bool with_labels : {true, false}) {
                std::vector<std::int32_t> more(mask.size(), -7);
                labelling::Regions found;
                labelling::label(rows, height, width, connectivity,
                                 with_labels ? more.data() : nullptr, found, threads);
                expect_same_regions(found, expected.regions);
                EXPECT_EQ(more, with_labels ? expected.labels
                                            : std::vector<std::int32_t>(mask.size(), -7));
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, RandomMasks,
    testing::Combine(testing::Values(1, 2, 7, 40), testing::Values(1, 3, 17, 64, 70, 130),
                     testing::Values(10, 45, 60, 90), testing::Values(Connectivity::four,
                                                                      Connectivity::eight)));

// The worst cases for the decision tree and the equivalences: stairs that merge late, a
// checkerboard (every pixel its own region under 4-connectivity, one region under 8) and a comb.
TEST(Labelling, CheckerboardComesApartOnlyUnderFourConnectivity)
{
    const int size = 9;
    std::vector<unsigned char> mask(size * size);
    for (int i = 0; i < size * size; ++i) {
        mask[i] = (i / size + i % size) % 2 == 0;
    }
    for (Connectivity connectivity : {Connectivity::four, Connectivity::eight}) {
        std::vector<std::int32_t> labels(mask.size());
        labelling::Regions regions;
        labelling::label({mask.data(), size, size, size, 1}, connectivity, labels.data(), regions);
        EXPECT_EQ(regions.pixels.size(), connectivity == Connectivity::four ? 41u : 1u);
        EXPECT_EQ(labels, flood_fill(mask, size, size, connectivity).labels);
    }
}

TEST(Labelling, StridedAndReversedViewsReadTheSameMask)
{
    const int height = 13, width = 11;
    std::mt19937 random(5);
    std::vector<unsigned char> mask(height * width);
    for (unsigned char &byte : mask) {
        byte = random() % 3 != 0;
    }
    // The same mask stored transposed and read back through strides, then upside down.
    std::vector<unsigned char> transposed(height * width);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            transposed[x * height + (height - 1 - y)] = mask[y * width + x];
        }
    }
    const Reference expected = flood_fill(mask, height, width, Connectivity::eight);
    std::vector<std::int32_t> labels(mask.size());
    labelling::Regions regions;
    labelling::label({transposed.data() + (height - 1), height, width, -1, height},
                     Connectivity::eight, labels.data(), regions);
    EXPECT_EQ(labels, expected.labels);
    EXPECT_EQ(regions.pixels, expected.regions.pixels);
}

TEST(Labelling, EmptyMasks)
{
    for (auto [height, width] : {std::pair{0, 0}, std::pair{0, 5}, std::pair{5, 0}}) {
        labelling::Regions regions;
        labelling::label({nullptr, std::size_t(height), std::size_t(width), width, 1},
                         Connectivity::eight, nullptr, regions);
        EXPECT_TRUE(regions.pixels.empty());
    }
}

}  // namespace
