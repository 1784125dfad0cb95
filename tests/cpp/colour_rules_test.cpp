// The colour rules at their boundaries, natively: each row names the rule that decides it, and
// every rule before that one must reject.
#include "colour_rules.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <random>
#include <vector>

namespace {

using tonesift::colour_rules::Verdict;
namespace rules = tonesift::colour_rules;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

enum class Rule { rgb, normalised_rgb, hsv, ycbcr, none };

struct Case {
    double r, g, b;
    Verdict expected;
    Rule deciding;  // none: every rule rejects
};

std::ostream &operator<<(std::ostream &out, const Case &c)
{
    return out << "(" << c.r << ", " << c.g << ", " << c.b << ")";
}

Verdict apply(Rule rule, double r, double g, double b)
{
    switch (rule) {
    case Rule::rgb:
        return rules::rgb_rule(r, g, b);
    case Rule::normalised_rgb:
        return rules::normalised_rgb_rule(r, g, b);
    case Rule::hsv:
        return rules::hsv_rule(r, g, b);
    case Rule::ycbcr:
        return rules::ycbcr_rule(r, g, b);
    case Rule::none:
        break;
    }
    return Verdict::reject;
}

class ClassifyTable : public testing::TestWithParam<Case> {};

TEST_P(ClassifyTable, DecidingRuleAndEarlierRules)
{
    const Case &c = GetParam();
    for (Rule rule : {Rule::rgb, Rule::normalised_rgb, Rule::hsv, Rule::ycbcr}) {
        if (rule == c.deciding) {
            EXPECT_EQ(apply(rule, c.r, c.g, c.b), c.expected);
            break;
        }
        EXPECT_EQ(apply(rule, c.r, c.g, c.b), Verdict::reject) << "rule " << int(rule);
    }
    EXPECT_EQ(rules::classify(c.r, c.g, c.b), c.expected);
}

constexpr Verdict accept = Verdict::accept;
constexpr Verdict reject = Verdict::reject;

INSTANTIATE_TEST_SUITE_P(
    Boundaries, ClassifyTable,
    testing::Values(
        // Greys and pure red: nothing accepts.
        Case{0, 0, 0, reject, Rule::none}, Case{-0.0, 0.0, 0.0, reject, Rule::none},
        Case{255, 255, 255, reject, Rule::none}, Case{128, 128, 128, reject, Rule::none},
        Case{255, 0, 0, reject, Rule::none},
        // Plain RGB, pairs differing in one component.
        Case{96, 76, 21, accept, Rule::rgb}, Case{95, 76, 21, reject, Rule::none},
        Case{136, 41, 21, accept, Rule::rgb}, Case{136, 40, 21, reject, Rule::none},
        Case{115, 99, 21, accept, Rule::rgb}, Case{115, 100, 21, reject, Rule::none},
        Case{96, 75, 21, accept, Rule::rgb}, Case{96, 75, 20, reject, Rule::none},
        Case{100, 45, 25, accept, Rule::rgb}, Case{inf, 50, 30, accept, Rule::rgb},
        // Normalised RGB does not depend on brightness; zeros become 0.0001.
        Case{200, 150, 120, accept, Rule::normalised_rgb},
        Case{10, 5, 5, accept, Rule::normalised_rgb},
        Case{0.0003, 0, 0, accept, Rule::normalised_rgb},
        // HSV: hue 16.2, hue 30, and the open bound at exactly 35.
        Case{95, 41, 21, accept, Rule::hsv}, Case{24, 17, 10, accept, Rule::hsv},
        Case{22, 17, 10, reject, Rule::none},
        // YCbCr alone, and the inclusive Cr bounds of the reds.
        Case{150, 140, 110, accept, Rule::ycbcr}, Case{12, 0, 0, accept, Rule::ycbcr},
        Case{96, 0, 0, accept, Rule::ycbcr}, Case{11, 0, 0, reject, Rule::none},
        Case{11.5, 0, 0, reject, Rule::none}, Case{96.5, 0, 0, reject, Rule::none},
        Case{97, 0, 0, reject, Rule::none},
        // Cr is 133.99999999999997 when every product is rounded; a fused multiply-add makes
        // it 134 and accepts.
        Case{92, 80, 80, reject, Rule::none},
        // Infinities and NaN go through the same arithmetic without failing.
        Case{inf, inf, inf, reject, Rule::none}, Case{nan, 100, 50, reject, Rule::none},
        Case{200, nan, 120, reject, Rule::none}, Case{200, 150, nan, reject, Rule::none},
        Case{nan, nan, nan, reject, Rule::none},
        // Failed divisions: a cancelling sum, a squared sum that underflows, a quotient that
        // underflows, a sum that overflows.
        Case{2, -1, -1, Verdict::failed_normalising, Rule::normalised_rgb},
        Case{1e-200, 1e-201, 1e-201, Verdict::failed_ratio_test, Rule::normalised_rgb},
        Case{1e305, 1e-20, 1, Verdict::failed_ratio_test, Rule::normalised_rgb},
        Case{1e308, 1e308, 1e308, Verdict::failed_ratio_test, Rule::normalised_rgb}));

TEST(Reds, OnlyTheYcbcrWindowAccepts)
{
    for (int red = 0; red <= 255; ++red) {
        const bool inside = red >= 12 && red <= 96;
        EXPECT_EQ(rules::classify(red, 0, 0), inside ? accept : reject) << "red " << red;
    }
}

TEST(Rules, EachWorksOnItsOwnCopies)
{
    // The normalised rule raises zeros to 0.0001; the HSV rule must still see a true zero
    // green, which gives hue 0 for pure red and so rejects.
    EXPECT_EQ(rules::normalised_rgb_rule(0.0003, 0, 0), accept);
    EXPECT_EQ(rules::hsv_rule(0.0003, 0, 0), reject);
}

TEST(Rules, NaNInAnyPositionRejectsWithoutFailing)
{
    for (int position = 0; position < 3; ++position) {
        double components[3] = {150, 90, 60};
        components[position] = nan;
        EXPECT_EQ(rules::classify(components[0], components[1], components[2]), reject)
            << "position " << position;
    }
}

// classify() takes short cuts; it must still answer as the four rules asked in turn would, the
// first to accept or fail deciding. Edge values of every kind in every position, then random
// colours with fractions, green above red as often as not.
TEST(Classify, AnswersAsTheRulesInTurn)
{
    const double eps = std::numeric_limits<double>::epsilon();
    // 7e-5 and 8e-5: a red of 0 becomes 0.0001 and so can outweigh such a green.
    const std::vector<double> edges = {-1,   -0.0,  0,     7e-5,  8e-5,           1e-4,
                                       0.5,  1 - eps / 2,   1,     1 + eps,        40.5,
                                       95.5, 128,   254.5, 255 - eps * 128, 255,   255 + eps * 256,
                                       300,  1e300, inf,   nan};
    const auto in_turn = [](double r, double g, double b) {
        for (Rule rule : {Rule::rgb, Rule::normalised_rgb, Rule::hsv, Rule::ycbcr}) {
            if (const Verdict verdict = apply(rule, r, g, b); verdict != reject) {
                return verdict;
            }
        }
        return reject;
    };
    for (double r : edges) {
        for (double g : edges) {
            for (double b : edges) {
                ASSERT_EQ(rules::classify(r, g, b), in_turn(r, g, b)) << Case{r, g, b, {}, {}};
            }
        }
    }
    std::mt19937_64 random(20261209);
    std::uniform_real_distribution<double> level(-2, 258);
    for (int i = 0; i < 200'000; ++i) {
        const double r = level(random), g = level(random), b = level(random);
        ASSERT_EQ(rules::classify(r, g, b), in_turn(r, g, b)) << Case{r, g, b, {}, {}};
    }
}

}  // namespace
