// Whole-image classification. Rows are split into one band per thread; each band writes only
// its own rows of the mask, so threads share nothing but the read-only image and table.
#include "image_mask.h"

#include "dispatch.h"
#include "double_rows.h"
#include "level_rows.h"
#include "verdict_table.h"
#include "bands.h"

#include <algorithm>
#include <vector>

namespace tonesift::image_mask {
namespace {

constexpr std::size_t pixels_per_thread = 1 << 18;

level_rows::Row row_of(const Image &image, std::size_t row) noexcept
{
    const std::ptrdiff_t channel = image.channel_stride;
    return {image.origin + static_cast<std::ptrdiff_t>(row) * image.row_stride, image.width,
            image.column_stride, image.red * channel, image.green * channel,
            image.blue * channel};
}

}  // namespace

void prefetch_table() noexcept
{
    // The table is likely cold (the interpreter and other libraries ran in between); asking for
    // all of it at once overlaps the misses that a small image would otherwise take one by one.
    const auto *table = reinterpret_cast<const char *>(verdict_table::runs);
    for (std::size_t offset = 0; offset < sizeof verdict_table::runs; offset += 64) {
        __builtin_prefetch(table + offset);
    }
}

unsigned useful_threads(std::size_t pixels, unsigned available) noexcept
{
    const std::size_t worth = std::max<std::size_t>(1, pixels / pixels_per_thread);
    return static_cast<unsigned>(std::min<std::size_t>(std::max(available, 1u), worth));
}

void classify_levels_row(const Image &levels, std::size_t row, std::uint64_t *bits) noexcept
{
    level_rows::classify(row_of(levels, row), bits, simd::active());
}

bool classify_doubles_row(const Image &doubles, std::size_t row, std::uint64_t *bits,
                          std::size_t &column) noexcept
{
    return double_rows::classify(row_of(doubles, row), bits, column, simd::active());
}

void classify_levels(const Image &image, std::uint8_t *mask, unsigned threads)
{
    prefetch_table();
    parallel::for_each_band(image.height, threads,
                            [&](unsigned, std::size_t first, std::size_t end) {
        std::vector<std::uint64_t> bits(level_rows::words_for(image.width));
        for (std::size_t row = first; row < end; ++row) {
            classify_levels_row(image, row, bits.data());
            level_rows::expand(bits.data(), image.width, mask + row * image.width);
        }
    });
}

DivisionFailure classify_doubles(const Image &image, std::uint8_t *mask, unsigned threads)
{
    // One slot per band; the earliest band that failed holds the first failing pixel.
    std::vector<DivisionFailure> failures(parallel::band_count(image.height, threads));
    parallel::for_each_band(image.height, threads,
                            [&](unsigned band, std::size_t first, std::size_t end) {
        std::vector<std::uint64_t> bits(level_rows::words_for(image.width));
        for (std::size_t row = first; row < end; ++row) {
            std::size_t column;
            if (!classify_doubles_row(image, row, bits.data(), column)) {
                failures[band] = {true, row, column};
                return;
            }
            level_rows::expand(bits.data(), image.width, mask + row * image.width);
        }
    });
    for (const DivisionFailure &failure : failures) {
        if (failure.failed) {
            return failure;
        }
    }
    return {false, 0, 0};
}

}  // namespace tonesift::image_mask
