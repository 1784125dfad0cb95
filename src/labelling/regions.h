// Connected regions of a mask: labels numbered by each region's first pixel in reading order,
// with each region's pixel count and inclusive bounding box. Plain C++, no Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tonesift::labelling {

enum class Connectivity { four = 4, eight = 8 };

// A 2-D mask of bytes addressed by byte strides of any sign; any non-zero byte is in a region.
struct Mask {
    const unsigned char *origin;
    std::size_t height, width;
    std::ptrdiff_t row_stride, column_stride;
};

// Index k - 1 describes region k.
struct Regions {
    std::vector<std::int64_t> pixels;
    std::vector<std::int32_t> left, top, right, bottom;  // inclusive
};

// The largest mask label() takes: every label and coordinate must fit an int32.
inline constexpr std::size_t max_pixels = 2147483647;

// Writes each pixel's region number (0 outside every region) to labels[row * width + column]
// and fills `regions`, working on up to `threads` threads. The mask must have at most
// max_pixels pixels. Throws std::bad_alloc.
void label(const Mask &mask, Connectivity connectivity, std::int32_t *labels, Regions &regions,
           unsigned threads = 1);

}  // namespace tonesift::labelling
