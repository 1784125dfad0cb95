// Skin masks of whole images on the colour rules: uint8 levels through the verdict table,
// doubles through the rules' arithmetic, on as many threads as asked. Plain C++, no Python.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tonesift::image_mask {

// An (h, w, c) image addressed by byte strides of any sign, as an array view may have them.
struct Image {
    const unsigned char *origin;  // the first channel of pixel (0, 0)
    std::size_t height, width;
    std::ptrdiff_t row_stride, column_stride, channel_stride;  // in bytes
    int red, green, blue;                                      // channel indices
};

// Writes 1 for a skin pixel and 0 for any other to mask[row * width + column].
void classify_levels(const Image &levels, std::uint8_t *mask, unsigned threads);

// The first pixel in reading order whose colour makes a rule divide by zero.
struct DivisionFailure {
    bool failed;
    std::size_t row, column;
};

// The same for doubles, with exactly tonesift()'s verdicts. When a pixel fails, the mask is
// left unspecified and the first failing pixel is reported, whatever the number of threads.
DivisionFailure classify_doubles(const Image &doubles, std::uint8_t *mask, unsigned threads);

// One row's verdicts as bits, bit x % 64 of bits[x / 64] for pixel x, the bits past the width 0:
// what labelling reads, with no byte mask in between. Rows may be done on several threads at once.
void classify_levels_row(const Image &levels, std::size_t row, std::uint64_t *bits) noexcept;

// The same for doubles. Returns false if a pixel makes a rule divide by zero, with `column` set
// to the first such pixel's; the bits are then unspecified.
bool classify_doubles_row(const Image &doubles, std::size_t row, std::uint64_t *bits,
                          std::size_t &column) noexcept;

// Asks for the whole verdict table at once, before a call that will read it.
void prefetch_table() noexcept;

// How many threads an image of `pixels` pixels is worth, up to `available`: each needs enough
// work to pay for starting it.
unsigned useful_threads(std::size_t pixels, unsigned available) noexcept;

}  // namespace tonesift::image_mask
