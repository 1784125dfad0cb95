#include "dispatch.h"

#include <atomic>
#include <cstring>

#if TONESIFT_X86_64
#include <cpuid.h>
#endif

namespace tonesift::simd {
namespace {

constexpr const char *names[path_count] = {"scalar", "sse2", "avx2"};

#if TONESIFT_X86_64

// AVX2, and the bit instructions that came with it (POPCNT, BMI1, BMI2): code on the AVX2 path
// may use them all.
bool cpu_has_avx2() noexcept
{
    unsigned a, b, c, d;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0 || (c & bit_OSXSAVE) == 0 || (c & bit_AVX) == 0 ||
        (c & bit_POPCNT) == 0) {
        return false;
    }
    unsigned enabled, high;  // the operating system must save the vector registers
    __asm__("xgetbv" : "=a"(enabled), "=d"(high) : "c"(0));
    if ((enabled & 6) != 6 || __get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) {
        return false;
    }
    return (b & bit_AVX2) != 0 && (b & bit_BMI) != 0 && (b & bit_BMI2) != 0;
}

#endif

std::atomic<Path> chosen{best()};

}  // namespace

const char *name(Path path) noexcept { return names[static_cast<int>(path)]; }

bool supported(Path path) noexcept
{
#if TONESIFT_X86_64
    static const bool avx2 = cpu_has_avx2();  // SSE2 is part of x86-64
    return path != Path::avx2 || avx2;
#else
    return path == Path::scalar;
#endif
}

Path best() noexcept
{
    return supported(Path::avx2) ? Path::avx2 : supported(Path::sse2) ? Path::sse2 : Path::scalar;
}

Path active() noexcept { return chosen.load(std::memory_order_relaxed); }

void set_active(Path path) noexcept { chosen.store(path, std::memory_order_relaxed); }

Choice choose(const char *wanted) noexcept
{
    if (wanted == nullptr || *wanted == '\0') {
        set_active(best());
        return Choice::done;
    }
    for (int index = 0; index < path_count; ++index) {
        if (std::strcmp(wanted, names[index]) == 0) {
            const auto path = static_cast<Path>(index);
            if (!supported(path)) {
                return Choice::unsupported;
            }
            set_active(path);
            return Choice::done;
        }
    }
    return Choice::unknown_name;
}

}  // namespace tonesift::simd
