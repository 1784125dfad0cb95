// The four skin-colour rules on plain doubles, free of the Python API so that they can be tested
// and benchmarked natively. Each rule works on its own copies of the components.
#pragma once

namespace tonesift::colour_rules {

// A rule's answer. The normalised-RGB rule can also report which of its divisions would have
// divided by zero: the one by the sum, or one in its ratio test.
enum class Verdict { reject, accept, failed_normalising, failed_ratio_test };

Verdict rgb_rule(double r, double g, double b) noexcept;
Verdict normalised_rgb_rule(double r, double g, double b) noexcept;
Verdict hsv_rule(double r, double g, double b) noexcept;
Verdict ycbcr_rule(double r, double g, double b) noexcept;

// The rules in order, stopping at the first that accepts or fails.
Verdict classify(double r, double g, double b) noexcept;

}  // namespace tonesift::colour_rules
