// The skin-colour rules. Every operation is one rounded binary64 operation in the order written:
// the build forbids contraction, since a fused multiply-add flips real verdicts.
#include "colour_rules.h"

#include <cmath>
#include <initializer_list>

namespace tonesift::colour_rules {
namespace {

constexpr double zero_replacement = 0.0001;
// A hue that no later step brings into the window, for grey pixels (2**63).
constexpr double grey_hue = 9223372036854775808.0;

// The order of comparison decides the outcome for NaN: a NaN `r` wins, a later NaN is passed over.
double largest(double r, double g, double b) noexcept
{
    double result = r;
    if (g > result) {
        result = g;
    }
    if (b > result) {
        result = b;
    }
    return result;
}

double smallest(double r, double g, double b) noexcept
{
    double result = r;
    if (g < result) {
        result = g;
    }
    if (b < result) {
        result = b;
    }
    return result;
}

Verdict verdict(bool accepted) noexcept { return accepted ? Verdict::accept : Verdict::reject; }

}  // namespace

Verdict rgb_rule(double r, double g, double b) noexcept
{
    return verdict(r > 95 && g > 40 && g < 100 && b > 20 &&
                   largest(r, g, b) - smallest(r, g, b) > 15 && std::fabs(r - g) > 15 && r > g &&
                   r > b);
}

Verdict normalised_rgb_rule(double r, double g, double b) noexcept
{
    // Both zeros compare equal to 0, so -0.0 is replaced too; NaN is left alone.
    if (r == 0) {
        r = zero_replacement;
    }
    if (g == 0) {
        g = zero_replacement;
    }
    if (b == 0) {
        b = zero_replacement;
    }
    const double sum = (r + g) + b;
    if (sum == 0) {
        return Verdict::failed_normalising;
    }
    const double nr = r / sum;
    const double ng = g / sum;
    if (ng == 0) {
        return Verdict::failed_ratio_test;
    }
    if (!(nr / ng > 1.185)) {
        return Verdict::reject;
    }
    // The products are divided by the squared sum as a whole, not formed from nr and ng.
    const double square = sum * sum;
    if (square == 0) {
        return Verdict::failed_ratio_test;
    }
    const double red_blue = r * b;
    if (!(red_blue / square > 0.107)) {
        return Verdict::reject;
    }
    const double red_green = r * g;
    return verdict(red_green / square > 0.112);
}

Verdict hsv_rule(double r, double g, double b) noexcept
{
    double sum = (r + g) + b;
    const double max = largest(r, g, b);
    const double min = smallest(r, g, b);
    const double diff = max - min;
    if (sum == 0) {
        sum = zero_replacement;
    }
    double hue;
    if (r == max) {
        hue = diff == 0 ? grey_hue : (g - b) / diff;
    } else if (g == max) {
        hue = (b - r) / diff + 2;
    } else {
        hue = (r - g) / diff + 4;
    }
    hue = hue * 60;
    if (hue < 0) {
        hue = hue + 360;
    }
    const double share = min / sum;
    const double saturation = 1 - share * 3;
    return verdict(hue > 0 && hue < 35 && saturation > 0.23 && saturation < 0.68);
}

Verdict ycbcr_rule(double r, double g, double b) noexcept
{
    const double cb = ((128 - 0.168736 * r) - 0.331264 * g) + 0.5 * b;
    if (!(cb >= 97.5 && cb <= 142.5)) {
        return Verdict::reject;
    }
    const double cr = ((0.5 * r + 128) - 0.418688 * g) - 0.081312 * b;
    return verdict(cr >= 134 && cr <= 176);
}

Verdict classify(double r, double g, double b) noexcept
{
    for (auto rule : {rgb_rule, normalised_rgb_rule, hsv_rule, ycbcr_rule}) {
        const Verdict answer = rule(r, g, b);
        if (answer != Verdict::reject) {
            return answer;
        }
    }
    return Verdict::reject;
}

}  // namespace tonesift::colour_rules
