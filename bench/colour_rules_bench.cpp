// The colour rules natively, over the same seeded mix as bench_tonesift.py (colour_mix.py draws
// it with the same splitmix64 stream): ns per colour without any interpreter around them.
#include "colour_rules.h"
#include "verdict_table.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <vector>

namespace {

namespace rules = tonesift::colour_rules;
using Colour = std::array<double, 3>;

constexpr std::uint64_t seed = 20261208;
constexpr std::size_t count = 10000;

std::vector<Colour> colour_mix()
{
    std::size_t wanted[2] = {count - count / 2, count / 2};  // not skin, skin
    std::vector<Colour> colours;
    std::uint64_t state = seed;
    while (colours.size() < count) {
        state += 0x9E3779B97F4A7C15ULL;
        std::uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        z ^= z >> 31;
        const Colour colour = {double(z & 0xFF), double((z >> 8) & 0xFF),
                               double((z >> 16) & 0xFF)};
        const bool skin =
            rules::classify(colour[0], colour[1], colour[2]) == rules::Verdict::accept;
        if (wanted[skin] > 0) {
            --wanted[skin];
            colours.push_back(colour);
        }
    }
    return colours;
}

template <rules::Verdict (*rule)(double, double, double) noexcept>
void per_colour(benchmark::State &state)
{
    const std::vector<Colour> colours = colour_mix();
    for (auto _ : state) {
        for (const Colour &c : colours) {
            benchmark::DoNotOptimize(rule(c[0], c[1], c[2]));
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * colours.size()));
    state.counters["ns_per_colour"] = benchmark::Counter(
        static_cast<double>(state.iterations() * colours.size()),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

rules::Verdict from_table(double r, double g, double b) noexcept
{
    const bool accepted = tonesift::verdict_table::accepts(unsigned(r), unsigned(g), unsigned(b));
    return accepted ? rules::Verdict::accept : rules::Verdict::reject;
}

BENCHMARK(per_colour<rules::classify>)->Name("classify");
BENCHMARK(per_colour<from_table>)->Name("verdict_table");
BENCHMARK(per_colour<rules::rgb_rule>)->Name("rgb_rule");
BENCHMARK(per_colour<rules::normalised_rgb_rule>)->Name("normalised_rgb_rule");
BENCHMARK(per_colour<rules::hsv_rule>)->Name("hsv_rule");
BENCHMARK(per_colour<rules::ycbcr_rule>)->Name("ycbcr_rule");

}  // namespace

BENCHMARK_MAIN();
