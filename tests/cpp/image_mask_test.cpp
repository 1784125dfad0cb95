// Whole-image masks against the rules pixel by pixel, through every layout a view can have.
#include "bands.h"
#include "colour_rules.h"
#include "double_rows.h"
#include "image_mask.h"
#include "level_rows.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <atomic>
#include <new>
#include <random>
#include <vector>

namespace {

namespace rules = tonesift::colour_rules;
namespace mask = tonesift::image_mask;

struct Layout {
    const char *name;
    int red, green, blue, channels;
    bool transposed, flipped;
};

const Layout layouts[] = {
    {"RGB", 0, 1, 2, 3, false, false},  {"BGR", 2, 1, 0, 3, false, false},
    {"RGBA", 0, 1, 2, 4, false, false}, {"BGRA", 2, 1, 0, 4, false, false},
    {"RGB transposed", 0, 1, 2, 3, true, false}, {"BGRA flipped", 2, 1, 0, 4, false, true},
};

// Stores pixel values (r, g, b per pixel, row major) in `layout` and describes the storage.
template <class T>
mask::Image store(const std::vector<T> &rgb, std::size_t height, std::size_t width,
                  const Layout &layout, std::vector<T> &storage)
{
    const std::size_t c = layout.channels;
    storage.assign(height * width * c, T(77));
    std::ptrdiff_t row = width * c, column = c;
    if (layout.transposed) {
        row = c;
        column = height * c;
    }
    for (std::size_t y = 0; y < height; ++y) {
        for (std::size_t x = 0; x < width; ++x) {
            T *pixel = storage.data() + y * row + x * column;
            pixel[layout.red] = rgb[(y * width + x) * 3];
            pixel[layout.green] = rgb[(y * width + x) * 3 + 1];
            pixel[layout.blue] = rgb[(y * width + x) * 3 + 2];
        }
    }
    const auto bytes = static_cast<std::ptrdiff_t>(sizeof(T));
    mask::Image image{reinterpret_cast<const unsigned char *>(storage.data()), height, width,
                      row * bytes, column * bytes, bytes, layout.red, layout.green, layout.blue};
    if (layout.flipped) {
        image.origin += (height - 1) * row * bytes;
        image.row_stride = -image.row_stride;
        // The expected verdicts are then those of the rows in reverse order.
    }
    return image;
}

std::size_t source_row(const Layout &layout, std::size_t height, std::size_t y)
{
    return layout.flipped ? height - 1 - y : y;
}

TEST(ImageMask, LevelsEqualTheRulesInEveryLayoutAndThreadCount)
{
    const std::size_t height = 61, width = 67;
    std::mt19937 random(3);
    std::vector<unsigned char> rgb(height * width * 3);
    for (unsigned char &level : rgb) {
        level = random() % 256;
    }
    for (const Layout &layout : layouts) {
        std::vector<unsigned char> storage;
        const mask::Image image = store(rgb, height, width, layout, storage);
        for (unsigned threads : {1u, 2u, 5u}) {
            std::vector<std::uint8_t> out(height * width, 9);
            mask::classify_levels(image, out.data(), threads);
            for (std::size_t y = 0; y < height; ++y) {
                for (std::size_t x = 0; x < width; ++x) {
                    const std::size_t i = (source_row(layout, height, y) * width + x) * 3;
                    const bool expected =
                        rules::classify(rgb[i], rgb[i + 1], rgb[i + 2]) == rules::Verdict::accept;
                    ASSERT_EQ(out[y * width + x], expected) << layout.name << " " << y << "," << x;
                }
            }
        }
    }
}

TEST(ImageMask, DoublesEqualTheRulesAndReportTheFirstFailure)
{
    const std::size_t height = 40, width = 30;
    std::mt19937 random(4);
    std::uniform_real_distribution<double> level(-5, 260);
    const double specials[] = {0.0, -0.0, std::numeric_limits<double>::infinity(),
                               std::numeric_limits<double>::quiet_NaN(), 1e-310};
    std::vector<double> rgb(height * width * 3);
    for (double &component : rgb) {
        component = random() % 10 == 0 ? specials[random() % 5] : level(random);
    }
    for (const Layout &layout : layouts) {
        std::vector<double> storage;
        const mask::Image image = store(rgb, height, width, layout, storage);
        // The reference: every verdict, and the first failing pixel in the view's reading order.
        std::vector<std::uint8_t> expected(height * width);
        mask::DivisionFailure first{false, 0, 0};
        for (std::size_t y = 0; y < height; ++y) {
            for (std::size_t x = 0; x < width; ++x) {
                const std::size_t i = (source_row(layout, height, y) * width + x) * 3;
                const rules::Verdict verdict = rules::classify(rgb[i], rgb[i + 1], rgb[i + 2]);
                expected[y * width + x] = verdict == rules::Verdict::accept;
                if (verdict != rules::Verdict::accept && verdict != rules::Verdict::reject &&
                    !first.failed) {
                    first = {true, y, x};
                }
            }
        }
        for (unsigned threads : {1u, 3u}) {
            std::vector<std::uint8_t> out(height * width);
            const mask::DivisionFailure failure = mask::classify_doubles(image, out.data(), threads);
            ASSERT_EQ(failure.failed, first.failed) << layout.name;
            if (first.failed) {
                EXPECT_EQ(failure.row, first.row);
                EXPECT_EQ(failure.column, first.column);
            } else {
                EXPECT_EQ(out, expected) << layout.name;
            }
        }
    }
    // Without failing values every verdict is compared.
    for (double &component : rgb) {
        component = std::isfinite(component) && component > 0 ? component : 1.5;
    }
    {
        std::vector<double> storage;
        const mask::Image image = store(rgb, height, width, layouts[5], storage);
        std::vector<std::uint8_t> out(height * width);
        ASSERT_FALSE(mask::classify_doubles(image, out.data(), 2).failed);
        for (std::size_t y = 0; y < height; ++y) {
            for (std::size_t x = 0; x < width; ++x) {
                const std::size_t i = (source_row(layouts[5], height, y) * width + x) * 3;
                EXPECT_EQ(out[y * width + x], rules::classify(rgb[i], rgb[i + 1], rgb[i + 2]) ==
                                                  rules::Verdict::accept);
            }
        }
    }
    // Two failing pixels, one in a later band: the first in reading order is reported.
    rgb[(31 * width + 4) * 3 + 0] = 2, rgb[(31 * width + 4) * 3 + 1] = -1;
    rgb[(31 * width + 4) * 3 + 2] = -1;
    rgb[(12 * width + 20) * 3 + 0] = 1e305, rgb[(12 * width + 20) * 3 + 1] = 1e-20;
    rgb[(12 * width + 20) * 3 + 2] = 1;
    std::vector<double> storage;
    const mask::Image image = store(rgb, height, width, layouts[0], storage);
    for (unsigned threads : {1u, 2u, 4u}) {
        std::vector<std::uint8_t> out(height * width);
        const mask::DivisionFailure failure = mask::classify_doubles(image, out.data(), threads);
        EXPECT_TRUE(failure.failed);
        EXPECT_EQ(failure.row, 12u);
        EXPECT_EQ(failure.column, 20u);
    }
}

namespace rows = tonesift::level_rows;

struct Packing {
    std::ptrdiff_t size, red, green, blue;
};

const Packing packings[] = {{3, 0, 1, 2}, {3, 2, 1, 0}, {4, 0, 1, 2}, {4, 2, 1, 0}, {4, 1, 2, 3}};

std::vector<rows::Word> bits_of(const rows::Row &row, rows::Path path)
{
    std::vector<rows::Word> bits((row.width + 63) / 64, ~rows::Word{0});
    rows::classify(row, bits.data(), path);
    return bits;
}

// Each SIMD path the CPU runs gives the plain path's bits for every colour, in every packed
// layout: the cube as 256 rows of 65,536 pixels.
TEST(LevelRows, EveryPathGivesThePlainBitsOnTheWholeCube)
{
    for (rows::Path path : {rows::Path::sse2, rows::Path::avx2}) {
        if (!tonesift::simd::supported(path)) {
            std::printf("path %d: not on this CPU\n", static_cast<int>(path));
            continue;
        }
        for (const Packing &packing : packings) {
            std::vector<unsigned char> row_bytes(65536 * packing.size, 99);
            for (unsigned red = 0; red < 256; ++red) {
                for (unsigned x = 0; x < 65536; ++x) {
                    unsigned char *pixel = row_bytes.data() + x * packing.size;
                    pixel[packing.red] = static_cast<unsigned char>(red);
                    pixel[packing.green] = static_cast<unsigned char>(x >> 8);
                    pixel[packing.blue] = static_cast<unsigned char>(x);
                }
                const rows::Row row{row_bytes.data(), 65536, packing.size, packing.red,
                                    packing.green, packing.blue};
                ASSERT_EQ(bits_of(row, path), bits_of(row, rows::Path::scalar))
                    << "path " << static_cast<int>(path) << ", red " << red;
            }
        }
    }
}

// Rows of every short width, held in exactly the bytes they need, so that reading one byte past
// the last pixel shows under a sanitizer; the bits past the width are cleared.
TEST(LevelRows, ShortRowsAndTheirEnds)
{
    std::mt19937 random(9);
    for (const Packing &packing : packings) {
        for (std::size_t width = 1; width <= 80; ++width) {
            const std::ptrdiff_t last = std::max({packing.red, packing.green, packing.blue});
            std::vector<unsigned char> bytes((width - 1) * packing.size + last + 1);
            for (unsigned char &byte : bytes) {
                byte = random() % 2 ? 200 - random() % 60 : random() % 256;  // skin-ish or any
            }
            const rows::Row row{bytes.data(), width, packing.size, packing.red, packing.green,
                                packing.blue};
            const std::vector<rows::Word> plain = bits_of(row, rows::Path::scalar);
            if (width % 64 != 0) {
                EXPECT_EQ(plain.back() >> (width % 64), 0u);
            }
            for (rows::Path path : {rows::Path::sse2, rows::Path::avx2}) {
                if (tonesift::simd::supported(path)) {
                    EXPECT_EQ(bits_of(row, path), plain) << width;
                }
            }
            std::vector<std::uint8_t> expanded(width, 7);
            rows::expand(plain.data(), width, expanded.data());
            for (std::size_t x = 0; x < width; ++x) {
                ASSERT_EQ(expanded[x], plain[x / 64] >> (x % 64) & 1);
            }
        }
    }
}

// Rows of doubles of every short width on every path: the bits of the pixels before the first
// failing one, and that pixel, as one pixel at a time gives them. Values near the rules' edges,
// specials, and now and then a colour that fails.
TEST(DoubleRows, EveryPathGivesThePlainVerdictsAndFirstFailure)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double picks[] = {0.0, -0.0, 1e-4, 95.5, 255, inf, -inf,
                            std::numeric_limits<double>::quiet_NaN()};
    std::mt19937 random(11);
    std::uniform_real_distribution<double> level(-3, 258);
    for (int trial = 0; trial < 400; ++trial) {
        const std::size_t width = 1 + trial % 70;
        std::vector<double> rgb(width * 3);
        for (double &component : rgb) {
            component = random() % 8 == 0 ? picks[random() % 8] : level(random);
        }
        if (trial % 3 == 0) {  // a failing colour: a sum that cancels
            const std::size_t x = random() % width;
            rgb[x * 3] = 2, rgb[x * 3 + 1] = -1, rgb[x * 3 + 2] = -1;
        }
        std::size_t first = width;
        for (std::size_t x = 0; x < width && first == width; ++x) {
            const rules::Verdict v = rules::classify(rgb[x * 3], rgb[x * 3 + 1], rgb[x * 3 + 2]);
            first = v == rules::Verdict::accept || v == rules::Verdict::reject ? width : x;
        }
        const rows::Row row{reinterpret_cast<const unsigned char *>(rgb.data()), width, 24, 0, 8,
                            16};
        for (rows::Path path : {rows::Path::scalar, rows::Path::sse2, rows::Path::avx2}) {
            if (!tonesift::simd::supported(path)) {
                continue;
            }
            std::vector<rows::Word> bits((width + 63) / 64, ~rows::Word{0});
            std::size_t column = width;
            ASSERT_EQ(tonesift::double_rows::classify(row, bits.data(), column, path),
                      first == width);
            for (std::size_t x = 0; x < first; ++x) {
                const bool skin = rules::classify(rgb[x * 3], rgb[x * 3 + 1], rgb[x * 3 + 2]) ==
                                  rules::Verdict::accept;
                ASSERT_EQ(bits[x / 64] >> (x % 64) & 1, skin) << "path " << int(path) << " x " << x;
            }
            if (first < width) {
                EXPECT_EQ(column, first) << "path " << int(path);
            } else if (width % 64 != 0) {
                EXPECT_EQ(bits.back() >> (width % 64), 0u);
            }
        }
    }
}

// A band that throws on its own thread would end the process; the caller gets the exception
// instead, once every band has ended.
TEST(Bands, AnExceptionOfAnyBandReachesTheCaller)
{
    for (unsigned failing : {0u, 2u}) {
        std::atomic<unsigned> finished{0};
        EXPECT_THROW(tonesift::parallel::for_each_band(40, 4, [&](unsigned band, std::size_t,
                                                                   std::size_t) {
            if (band == failing) {
                throw std::bad_alloc();
            }
            ++finished;
        }), std::bad_alloc);
        EXPECT_EQ(finished, 3u);
    }
}

TEST(ImageMask, ThreadsAreWorthIt)
{
    EXPECT_EQ(mask::useful_threads(100, 8), 1u);
    EXPECT_EQ(mask::useful_threads(std::size_t{1} << 30, 2), 2u);
    EXPECT_EQ(mask::useful_threads(std::size_t{1} << 30, 0), 1u);
}

}  // namespace
