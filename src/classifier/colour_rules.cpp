// The skin-colour rules. Every operation is one rounded binary64 operation in the order written:
// the build forbids contraction, since a fused multiply-add flips real verdicts.
//
// classify() stops at the first rule that accepts or fails, and evaluates the two rules that
// cannot fail together.
#include "colour_rules.h"

#include "rule_arithmetic.h"

namespace tonesift::colour_rules {
namespace {

using namespace arithmetic;

Verdict verdict(bool accepted) noexcept { return accepted ? Verdict::accept : Verdict::reject; }

// The failure, if any, ahead of the verdict.
Verdict failure_of(const Normalised<bool> &outcome) noexcept
{
    return outcome.failed_normalising  ? Verdict::failed_normalising
           : outcome.failed_ratio_test ? Verdict::failed_ratio_test
                                       : Verdict::reject;
}

}  // namespace

Verdict rgb_rule(double r, double g, double b) noexcept { return verdict(rgb_accepts(r, g, b)); }

Verdict normalised_rgb_rule(double r, double g, double b) noexcept
{
    const Normalised<bool> outcome = normalised_rgb(r, g, b);
    const Verdict failure = failure_of(outcome);
    return failure != Verdict::reject ? failure : verdict(outcome.accepted);
}

Verdict hsv_rule(double r, double g, double b) noexcept { return verdict(hsv_accepts(r, g, b)); }

Verdict ycbcr_rule(double r, double g, double b) noexcept
{
    return verdict(ycbcr_accepts(r, g, b));
}

Verdict classify(double r, double g, double b) noexcept
{
    // Where green is above red, on levels at least 1 and at most 255, three rules can neither
    // accept nor fail: the RGB rule needs red above green; the normalised ratio is at most 1 and
    // nothing it divides by is 0; red is not the largest, so the hue is 60 or more. Only the
    // YCbCr window is left to decide. Much of what is not skin (foliage, sky) is of this kind.
    if ((r >= 0) & (g > r) & (g >= 1) & (g <= 255) & (b >= 0) & (b <= 255)) {
        return verdict(ycbcr_accepts(r, g, b));
    }
    if (rgb_accepts(r, g, b)) {
        return Verdict::accept;
    }
    const Normalised<bool> normalised = normalised_rgb(r, g, b);
    if (const Verdict failure = failure_of(normalised); failure != Verdict::reject) {
        return failure;
    }
    if (normalised.accepted) {
        return Verdict::accept;
    }
    return verdict(hsv_accepts(r, g, b) | ycbcr_accepts(r, g, b));
}

}  // namespace tonesift::colour_rules
