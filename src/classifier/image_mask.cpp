// Whole-image classification. Rows are split into one band per thread; each band writes only
// its own rows of the mask, so threads share nothing but the read-only image and table.
#include "image_mask.h"

#include "colour_rules.h"
#include "verdict_table.h"
#include "bands.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace tonesift::image_mask {
namespace {

constexpr std::size_t pixels_per_thread = 1 << 18;

// The verdict table over one band. The usual packed layouts get their own copy with strides and
// channel offsets known at compile time (0 stands for "as given"), about a third fewer
// instructions per pixel than the general loop.
template <std::ptrdiff_t column_stride, int red_at, int green_at, int blue_at>
void levels_band(const Image &image, std::uint8_t *mask, std::size_t first, std::size_t end)
{
    const std::ptrdiff_t cs = column_stride ? column_stride : image.column_stride;
    const std::ptrdiff_t red = column_stride ? red_at : image.red * image.channel_stride;
    const std::ptrdiff_t green = column_stride ? green_at : image.green * image.channel_stride;
    const std::ptrdiff_t blue = column_stride ? blue_at : image.blue * image.channel_stride;
    const std::size_t width = image.width;  // a local: the mask's stores could alias `image`
    for (std::size_t row = first; row < end; ++row) {
        const unsigned char *pixel =
            image.origin + static_cast<std::ptrdiff_t>(row) * image.row_stride;
        std::uint8_t *out = mask + row * width;
        for (std::size_t column = 0; column < width; ++column, pixel += cs) {
            out[column] = verdict_table::accepts(pixel[red], pixel[green], pixel[blue]);
        }
    }
}

double component_at(const unsigned char *pixel, std::ptrdiff_t offset) noexcept
{
    double value;  // a strided view need not be aligned
    std::memcpy(&value, pixel + offset, sizeof value);
    return value;
}

DivisionFailure doubles_band(const Image &image, std::uint8_t *mask, std::size_t first,
                             std::size_t end)
{
    const std::ptrdiff_t ch = image.channel_stride;
    const std::ptrdiff_t red = image.red * ch, green = image.green * ch, blue = image.blue * ch;
    for (std::size_t row = first; row < end; ++row) {
        const unsigned char *pixel =
            image.origin + static_cast<std::ptrdiff_t>(row) * image.row_stride;
        std::uint8_t *out = mask + row * image.width;
        for (std::size_t column = 0; column < image.width; ++column, pixel += image.column_stride) {
            const colour_rules::Verdict verdict = colour_rules::classify(
                component_at(pixel, red), component_at(pixel, green), component_at(pixel, blue));
            if (verdict != colour_rules::Verdict::accept &&
                verdict != colour_rules::Verdict::reject) {
                return {true, row, column};
            }
            out[column] = verdict == colour_rules::Verdict::accept;
        }
    }
    return {false, 0, 0};
}

}  // namespace

unsigned useful_threads(std::size_t pixels, unsigned available) noexcept
{
    const std::size_t worth = std::max<std::size_t>(1, pixels / pixels_per_thread);
    return static_cast<unsigned>(std::min<std::size_t>(std::max(available, 1u), worth));
}

void classify_levels(const Image &image, std::uint8_t *mask, unsigned threads)
{
    // The table is likely cold (the interpreter and other libraries ran in between); asking for
    // all of it at once overlaps the misses that a small image would otherwise take one by one.
    const auto *table = reinterpret_cast<const char *>(verdict_table::runs);
    for (std::size_t offset = 0; offset < sizeof verdict_table::runs; offset += 64) {
        __builtin_prefetch(table + offset);
    }
    auto band = levels_band<0, 0, 0, 0>;
    if (image.channel_stride == 1 && (image.column_stride == 3 || image.column_stride == 4)) {
        const bool rgb = image.red == 0 && image.green == 1 && image.blue == 2;
        const bool bgr = image.red == 2 && image.green == 1 && image.blue == 0;
        if (image.column_stride == 3) {
            band = rgb ? levels_band<3, 0, 1, 2> : bgr ? levels_band<3, 2, 1, 0> : band;
        } else {
            band = rgb ? levels_band<4, 0, 1, 2> : bgr ? levels_band<4, 2, 1, 0> : band;
        }
    }
    parallel::for_each_band(image.height, threads,
                            [&](unsigned, std::size_t first, std::size_t end) {
        band(image, mask, first, end);
    });
}

DivisionFailure classify_doubles(const Image &image, std::uint8_t *mask, unsigned threads)
{
    // One slot per band; the earliest band that failed holds the first failing pixel.
    std::vector<DivisionFailure> failures(parallel::band_count(image.height, threads));
    parallel::for_each_band(image.height, threads,
                            [&](unsigned band, std::size_t first, std::size_t end) {
        failures[band] = doubles_band(image, mask, first, end);
    });
    for (const DivisionFailure &failure : failures) {
        if (failure.failed) {
            return failure;
        }
    }
    return {false, 0, 0};
}

}  // namespace tonesift::image_mask
