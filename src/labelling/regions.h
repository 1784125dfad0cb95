// Connected regions of a mask: labels numbered by each region's first pixel in reading order,
// with each region's pixel count, inclusive bounding box and centroid. The mask is a byte array
// or any source of rows as bits (a classifier that never makes a byte mask). Plain C++, no
// Python.
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

// Rows of a mask as bits: pixel x of a row at bit x % 64 of word x / 64, 1 for a region pixel.
class RowSource {
public:
    // Fills the words of row `row`, the bits past the width 0. Each row is read once; the rows
    // of one band in order on one thread, the bands' rows on threads of their own at once.
    virtual void read(std::size_t row, std::uint64_t *bits) noexcept = 0;

protected:
    ~RowSource() = default;
};

// Index k - 1 describes region k.
struct Regions {
    std::vector<std::int64_t> pixels;
    std::vector<std::int32_t> left, top, right, bottom;  // inclusive
    std::vector<double> centroid_x, centroid_y;          // mean column and mean row
};

// The largest mask label() takes: every label and coordinate must fit an int32.
inline constexpr std::size_t max_pixels = 2147483647;

// Writes each pixel's region number (0 outside every region) to labels[row * width + column]
// and fills `regions`, working on up to `threads` threads. The mask must have at most
// max_pixels pixels. Throws std::bad_alloc.
void label(const Mask &mask, Connectivity connectivity, std::int32_t *labels, Regions &regions,
           unsigned threads = 1);

// The same for the height x width mask that `rows` gives. With `labels` null no label image is
// made, and the pixels are read only once.
void label(RowSource &rows, std::size_t height, std::size_t width, Connectivity connectivity,
           std::int32_t *labels, Regions &regions, unsigned threads = 1);

}  // namespace tonesift::labelling
