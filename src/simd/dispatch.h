// Which SIMD path the whole-image kernels take: the one place that asks the CPU what it runs and
// reads TONESIFT_SIMD's choice. Every kernel has a plain C++ twin beside its vector code (the
// scalar path), which gives the same results on any CPU; the kernels ask active() for the path.
// Plain C++, no Python.
#pragma once

// Builds for x86-64 have the SSE2 and AVX2 paths, in the kernels' *_x86.cpp files; elsewhere
// those files compile to nothing and only the scalar path exists. This is the one place that
// tells which: the kernels test x86_64 (or, around code that only an x86 compiler accepts,
// TONESIFT_X86_64), so that their calls into the x86 files are discarded at compile time.
#if defined(__x86_64__)
#define TONESIFT_X86_64 1
#else
#define TONESIFT_X86_64 0
#endif

namespace tonesift::simd {

inline constexpr bool x86_64 = TONESIFT_X86_64;

// avx2 stands for AVX2 with the bit instructions of the same CPUs: POPCNT, BMI1 and BMI2.
enum class Path { scalar, sse2, avx2 };
inline constexpr int path_count = 3;

// "scalar", "sse2", "avx2": the names TONESIFT_SIMD takes.
const char *name(Path path) noexcept;

// Whether this CPU (and its operating system) can run `path`.
bool supported(Path path) noexcept;

// The fastest path that this CPU runs.
Path best() noexcept;

// The path that the kernels take: best() unless chosen otherwise.
Path active() noexcept;
void set_active(Path path) noexcept;  // the path must be supported()

// Makes the path named by `wanted` (TONESIFT_SIMD's value) the active one: none or "" names the
// best. The outcome, for the caller to report.
enum class Choice { done, unknown_name, unsupported };
Choice choose(const char *wanted) noexcept;

}  // namespace tonesift::simd
