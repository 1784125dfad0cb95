// The x86-64 code of labelling, in labelling_x86.cpp: only builds for x86-64 have it
// (simd::x86_64), and only label_rows.cpp and regions.cpp call it.
#pragma once

#include "level_rows.h"

#include <cstddef>
#include <cstdint>

namespace tonesift::x86 {

// Copies a row of labels to `out`, mostly with streaming stores, which bypass the caches.
void stream_row(const std::int32_t *row, std::size_t width, std::int32_t *out) noexcept;

// Orders the streamed stores before whatever follows: the rows count as written after it.
void fence_streamed_stores() noexcept;

// label_rows::write on the AVX2 path, rows [first_row, end_row), its stores streamed.
void label_rows(std::size_t width, std::size_t first_row, std::size_t end_row,
                std::int32_t *labels, const level_rows::Word *bits, const std::int32_t *numbers);

// Packs a row of one-byte mask values into bits, sixteen at a time, as read_row does; returns
// how many it did, a multiple of sixteen (the rest of the row is the caller's).
std::size_t mask_bits(const unsigned char *in, std::size_t width, level_rows::Word *bits) noexcept;

}  // namespace tonesift::x86
