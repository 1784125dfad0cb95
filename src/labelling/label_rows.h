// Rows of a label image from rows of bits and the numbers of their runs: the second pass of
// labelling. Plain C++, no Python.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tonesift::label_rows {

// Writes rows [first_row, end_row) of a label image `width` wide (row y at labels + y * width):
// each run of set bits in row y of `bits` (at bits + y * words, words = (width + 63) / 64; pixel
// x at bit x % 64 of word x / 64) gets its number, the pixels between runs 0. numbers[k] is the
// number of the k-th run of those rows in reading order, from k = 1; numbers[0] and eight
// entries past the last run's must be readable. Takes the classifier's SIMD path, and streams
// the rows out past the caches, with a fence before it returns. Throws std::bad_alloc.
void write(std::size_t width, std::size_t first_row, std::size_t end_row,
           const std::uint64_t *bits, const std::int32_t *numbers, std::int32_t *labels);

}  // namespace tonesift::label_rows
