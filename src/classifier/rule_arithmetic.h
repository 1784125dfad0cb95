// The arithmetic of the four colour rules, written once for one colour (T = double) and for
// several at a time (T = a GCC vector of doubles, one colour per lane). Each is the same binary64
// operations in the same order, so every lane rounds exactly as the one colour does; conditions
// come back as bool for one colour and as lane masks (all ones or all zeros) for several.
//
// Nothing branches on the data: conditions are combined with `&` and `|` rather than `&&` and
// `||`, and alternatives are selected. On a mix of colours that spares mispredicted branches,
// and it is what lets the lanes run at all. Everything is inlined, into AVX2 code too: a vector
// must never cross a call between code built for different instruction sets.
#pragma once

namespace tonesift::colour_rules::arithmetic {

constexpr double zero_replacement = 0.0001;
// A hue that no later step brings into the window, for grey pixels (2**63).
constexpr double grey_hue = 9223372036854775808.0;

template <class T> [[gnu::always_inline]] inline T splat(double value) noexcept
{
    return T{} + value;
}

// What a comparison gives: bool, or a vector of lane masks.
template <class T> using Mask = decltype(T{} > T{});

// The order of comparison decides the outcome for NaN: a NaN `r` wins, a later NaN is passed over.
template <class T> [[gnu::always_inline]] inline T largest(T r, T g, T b) noexcept
{
    T result = r;
    result = g > result ? g : result;
    return b > result ? b : result;
}

template <class T> [[gnu::always_inline]] inline T smallest(T r, T g, T b) noexcept
{
    T result = r;
    result = g < result ? g : result;
    return b < result ? b : result;
}

template <class T> [[gnu::always_inline]] inline auto rgb_accepts(T r, T g, T b) noexcept
{
    const T red_green = r - g;  // |r - g| > 15, with no fabs for the lanes
    return (r > 95) & (g > 40) & (g < 100) & (b > 20) &
           (largest(r, g, b) - smallest(r, g, b) > 15) & ((red_green > 15) | (red_green < -15)) &
           (r > g) & (r > b);
}

template <class M> struct Normalised {
    M accepted;
    M failed_normalising;  // the division by the sum
    M failed_ratio_test;   // one in the ratio test; counts only where the sum did not fail
};

template <class T> [[gnu::always_inline]] inline auto normalised_rgb(T r, T g, T b) noexcept
{
    // Both zeros compare equal to 0, so -0.0 is replaced too; NaN is left alone.
    r = r == 0 ? splat<T>(zero_replacement) : r;
    g = g == 0 ? splat<T>(zero_replacement) : g;
    b = b == 0 ? splat<T>(zero_replacement) : b;
    const T sum = (r + g) + b;
    const T nr = r / sum;
    const T ng = g / sum;
    const auto ratio = nr / ng > 1.185;
    // The products are divided by the squared sum as a whole, not formed from nr and ng.
    const T square = sum * sum;
    const T red_blue = r * b;
    const T red_green = r * g;
    const auto accepted = ratio & (red_blue / square > 0.107) & (red_green / square > 0.112);
    // A zero divisor counts only where the rule would have divided by it: the sum first, then
    // ng, then the square once the ratio test has passed. Quotients by zero computed past that
    // point are discarded.
    using M = Mask<T>;
    return Normalised<M>{static_cast<M>(accepted), sum == 0,
                         static_cast<M>((ng == 0) | (ratio & (square == 0)))};
}

template <class T> [[gnu::always_inline]] inline auto hsv_accepts(T r, T g, T b) noexcept
{
    T sum = (r + g) + b;
    const T max = largest(r, g, b);
    const T min = smallest(r, g, b);
    const T diff = max - min;
    sum = sum == 0 ? splat<T>(zero_replacement) : sum;
    // The first of red, green, blue that equals the largest picks the hue's formula.
    const auto red_top = r == max;
    const auto green_top = (r != max) & (g == max);
    const T numerator = red_top ? g - b : green_top ? b - r : r - g;
    const T quotient = numerator / diff;
    const T shifted = quotient + (green_top ? splat<T>(2.0) : splat<T>(4.0));
    T hue = red_top ? (diff == 0 ? splat<T>(grey_hue) : quotient) : shifted;
    hue = hue * 60;
    hue = hue < 0 ? hue + 360 : hue;
    const T share = min / sum;
    const T saturation = 1 - share * 3;
    return (hue > 0) & (hue < 35) & (saturation > 0.23) & (saturation < 0.68);
}

template <class T> [[gnu::always_inline]] inline auto ycbcr_accepts(T r, T g, T b) noexcept
{
    const T cb = ((128 - 0.168736 * r) - 0.331264 * g) + 0.5 * b;
    const T cr = ((0.5 * r + 128) - 0.418688 * g) - 0.081312 * b;
    return (cb >= 97.5) & (cb <= 142.5) & (cr >= 134) & (cr <= 176);
}

}  // namespace tonesift::colour_rules::arithmetic
