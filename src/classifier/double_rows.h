// Verdicts of whole rows of doubles, as bits: the float64 images' inner loop. The rules run on
// two pixels at a time (SSE2, which every x86-64 has) or four (AVX2, where the CPU has it), on
// whatever path level_rows chose, or one pixel at a time on the scalar path, with the same bits
// and the same first failing pixel on every path. Plain C++, no Python.
#pragma once

#include "level_rows.h"

#include <cstddef>

namespace tonesift::double_rows {

// Sets bit x % 64 of bits[x / 64] for each skin pixel x of a row of doubles and clears the others,
// the bits past the width included. Returns false if a pixel makes a rule divide by zero, with
// `column` set to the first such pixel's; the bits from that pixel on are then unspecified.
bool classify(const level_rows::Row &row, level_rows::Word *bits, std::size_t &column,
              level_rows::Path path) noexcept;

}  // namespace tonesift::double_rows
