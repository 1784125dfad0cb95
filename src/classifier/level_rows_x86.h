// The SSE2 and AVX2 paths of level_rows, in level_rows_x86.cpp: only builds for x86-64 have
// them (simd::x86_64), and only level_rows.cpp calls them.
#pragma once

#include "level_rows.h"

namespace tonesift::level_rows::x86 {

// The verdicts of a row's pixels, eight a step, each step's as one byte of `bytes` (pixel
// 8 * i + k at bit k of bytes[i]), on the SSE2 or the AVX2 path, where the row is packed (3 or 4
// bytes a pixel). Returns how many pixels it did, a multiple of eight, none for a row that is
// not packed: the rest of the row is the caller's.
std::size_t packed(const Row &row, unsigned char *bytes, Path path) noexcept;

}  // namespace tonesift::level_rows::x86
