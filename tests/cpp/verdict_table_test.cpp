// The verdict table against the rules it was made from, on every whole colour: a proof, not a
// sample.
#include "colour_rules.h"
#include "verdict_table.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

namespace rules = tonesift::colour_rules;
namespace table = tonesift::verdict_table;
using rules::Verdict;

TEST(VerdictTable, EqualsTheRulesOnTheWholeCube)
{
    std::uint64_t mismatches = 0, accepted = 0;
    for (unsigned r = 0; r < 256; ++r) {
        for (unsigned g = 0; g < 256; ++g) {
            for (unsigned b = 0; b < 256; ++b) {
                const Verdict verdict = rules::classify(r, g, b);
                ASSERT_TRUE(verdict == Verdict::accept || verdict == Verdict::reject)
                    << "(" << r << ", " << g << ", " << b << ") fails a division";
                const bool expected = verdict == Verdict::accept;
                accepted += expected;
                if (table::accepts(r, g, b) != expected && ++mismatches <= 10) {
                    ADD_FAILURE() << "(" << r << ", " << g << ", " << b << ") table says "
                                  << !expected;
                }
            }
        }
    }
    EXPECT_EQ(mismatches, 0u);
    // Neither all nor nothing: a table of constants would not pass the loop above anyway, but
    // this guards the loop itself.
    EXPECT_GT(accepted, 0u);
    EXPECT_LT(accepted, 256u * 256u * 256u);
}

// A float -0.0 takes the table as level 0, so every zero must be replaceable by -0.0.
TEST(VerdictTable, NegativeZeroChangesNoWholeVerdict)
{
    for (unsigned a = 0; a < 256; ++a) {
        for (unsigned c = 0; c < 256; ++c) {
            const double x = a, y = c;
            const struct {
                double r, g, b;
                unsigned zeros;  // which components to negate, as bits r, g, b
            } colours[] = {{0, x, y, 0b100}, {x, 0, y, 0b010}, {x, y, 0, 0b001}};
            for (const auto &colour : colours) {
                const bool expected = table::accepts(unsigned(colour.r), unsigned(colour.g),
                                                     unsigned(colour.b));
                for (unsigned signs = 1; signs < 8; ++signs) {
                    double r = colour.r, g = colour.g, b = colour.b;
                    r = (signs & 0b100) && r == 0 ? -0.0 : r;
                    g = (signs & 0b010) && g == 0 ? -0.0 : g;
                    b = (signs & 0b001) && b == 0 ? -0.0 : b;
                    const Verdict verdict = rules::classify(r, g, b);
                    ASSERT_EQ(verdict, expected ? Verdict::accept : Verdict::reject)
                        << "(" << r << ", " << g << ", " << b << ")";
                }
            }
        }
    }
}

}  // namespace
