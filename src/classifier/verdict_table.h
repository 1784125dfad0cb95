// Every verdict of the colour rules on whole 8-bit levels, answered by two loads instead of the
// arithmetic. The build generates the data by running the rules themselves over the whole cube
// (verdict_table_generator.cpp), so the table cannot drift from them; a native test compares the
// two on all 16,777,216 colours.
#pragma once

#include <cstdint>

namespace tonesift::verdict_table {

// For almost every (r, g) the accepted blue levels form one run, first..last; first = last + 1
// means that none is accepted. The few other pairs store first >= last + 2, which no run has, and
// name a row of `scattered` by the number (first - 1) * (first - 2) / 2 + last.
struct Run {
    std::uint8_t first;
    std::uint8_t last;
};

// One spare entry past the last pair, so that a 4-byte load of any entry stays in the table.
extern const Run runs[256 * 256 + 1];
extern const std::uint64_t scattered[][4];  // 256-bit rows: bit b set when blue b is accepted

// The verdict of classify() on (r, g, b), each in 0..255. No whole colour makes a rule divide
// by zero, so there is no failure to report (the generator refuses to build otherwise).
inline bool accepts(unsigned r, unsigned g, unsigned b) noexcept
{
    const Run run = runs[r << 8 | g];
    // No branch for the empty pairs, which are the commonest among arbitrary colours.
    const bool in_run = (run.first <= b) & (b <= run.last);
    if (run.first > run.last + 1) [[unlikely]] {
        const unsigned row = (run.first - 1u) * (run.first - 2u) / 2 + run.last;
        return (scattered[row][b >> 6] >> (b & 63) & 1) != 0;
    }
    return in_run;
}

}  // namespace tonesift::verdict_table
