// The skin-colour rules. Every operation is one rounded binary64 operation in the order written:
// the build forbids contraction, since a fused multiply-add flips real verdicts.
//
// Within a rule nothing branches on the data: conditions are combined with `&` rather than `&&`
// and alternatives are selected rather than branched to. None of this can be observed (the rules
// are pure and comparisons cannot fail), and on a mix of colours it spares mispredicted branches
// that cost more than the arithmetic. classify() still stops at the first rule that accepts or
// fails, and evaluates the two rules that cannot fail together.
#include "colour_rules.h"

#include <cmath>

namespace tonesift::colour_rules {
namespace {

constexpr double zero_replacement = 0.0001;
// A hue that no later step brings into the window, for grey pixels (2**63).
constexpr double grey_hue = 9223372036854775808.0;

// The order of comparison decides the outcome for NaN: a NaN `r` wins, a later NaN is passed over.
double largest(double r, double g, double b) noexcept
{
    double result = r;
    result = g > result ? g : result;
    return b > result ? b : result;
}

double smallest(double r, double g, double b) noexcept
{
    double result = r;
    result = g < result ? g : result;
    return b < result ? b : result;
}

Verdict verdict(bool accepted) noexcept { return accepted ? Verdict::accept : Verdict::reject; }

bool rgb_accepts(double r, double g, double b) noexcept
{
    return (r > 95) & (g > 40) & (g < 100) & (b > 20) &
           (largest(r, g, b) - smallest(r, g, b) > 15) & (std::fabs(r - g) > 15) & (r > g) &
           (r > b);
}

struct Normalised {
    bool accepted;
    Verdict failure;  // reject when no division failed
};

Normalised normalised_rgb(double r, double g, double b) noexcept
{
    // Both zeros compare equal to 0, so -0.0 is replaced too; NaN is left alone.
    r = r == 0 ? zero_replacement : r;
    g = g == 0 ? zero_replacement : g;
    b = b == 0 ? zero_replacement : b;
    const double sum = (r + g) + b;
    const double nr = r / sum;
    const double ng = g / sum;
    const bool ratio = nr / ng > 1.185;
    // The products are divided by the squared sum as a whole, not formed from nr and ng.
    const double square = sum * sum;
    const double red_blue = r * b;
    const double red_green = r * g;
    const bool accepted = ratio & (red_blue / square > 0.107) & (red_green / square > 0.112);
    // A zero divisor counts only where the rule would have divided by it: the sum first, then
    // ng, then the square once the ratio test has passed. Quotients by zero computed past that
    // point are discarded.
    if (sum == 0) {
        return {false, Verdict::failed_normalising};
    }
    if (ng == 0 || (ratio && square == 0)) {
        return {false, Verdict::failed_ratio_test};
    }
    return {accepted, Verdict::reject};
}

bool hsv_accepts(double r, double g, double b) noexcept
{
    double sum = (r + g) + b;
    const double max = largest(r, g, b);
    const double min = smallest(r, g, b);
    const double diff = max - min;
    sum = sum == 0 ? zero_replacement : sum;
    // The first of red, green, blue that equals the largest picks the hue's formula.
    const bool red_top = r == max;
    const bool green_top = !red_top && g == max;
    const double numerator = red_top ? g - b : green_top ? b - r : r - g;
    const double quotient = numerator / diff;
    const double shifted = quotient + (green_top ? 2.0 : 4.0);
    double hue = red_top ? (diff == 0 ? grey_hue : quotient) : shifted;
    hue = hue * 60;
    hue = hue < 0 ? hue + 360 : hue;
    const double share = min / sum;
    const double saturation = 1 - share * 3;
    return (hue > 0) & (hue < 35) & (saturation > 0.23) & (saturation < 0.68);
}

bool ycbcr_accepts(double r, double g, double b) noexcept
{
    const double cb = ((128 - 0.168736 * r) - 0.331264 * g) + 0.5 * b;
    const double cr = ((0.5 * r + 128) - 0.418688 * g) - 0.081312 * b;
    return (cb >= 97.5) & (cb <= 142.5) & (cr >= 134) & (cr <= 176);
}

}  // namespace

Verdict rgb_rule(double r, double g, double b) noexcept { return verdict(rgb_accepts(r, g, b)); }

Verdict normalised_rgb_rule(double r, double g, double b) noexcept
{
    const Normalised outcome = normalised_rgb(r, g, b);
    return outcome.failure != Verdict::reject ? outcome.failure : verdict(outcome.accepted);
}

Verdict hsv_rule(double r, double g, double b) noexcept { return verdict(hsv_accepts(r, g, b)); }

Verdict ycbcr_rule(double r, double g, double b) noexcept
{
    return verdict(ycbcr_accepts(r, g, b));
}

Verdict classify(double r, double g, double b) noexcept
{
    if (rgb_accepts(r, g, b)) {
        return Verdict::accept;
    }
    const Normalised normalised = normalised_rgb(r, g, b);
    if (normalised.failure != Verdict::reject) {
        return normalised.failure;
    }
    if (normalised.accepted) {
        return Verdict::accept;
    }
    return verdict(hsv_accepts(r, g, b) | ycbcr_accepts(r, g, b));
}

}  // namespace tonesift::colour_rules
