// The SIMD paths look up eight pixels at a time in the verdict table: a byte shuffle gathers
// each pixel's red and green into a table index and its blue into a lane of its own, the table's
// (first, last) pairs come in with one gather (AVX2) or eight scalar loads (SSE2), and two
// comparisons give eight verdicts at once. The rare pairs whose blue levels are scattered, not
// one run, are looked up again: with a second gather (AVX2) or one by one (SSE2). Eight verdicts
// make one byte of the row's bits, which on x86 is the byte of the 64-bit word that holds them.
#include "level_rows.h"

#include "verdict_table.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#define TONESIFT_X86_64 1
#endif

namespace tonesift::level_rows {
namespace {

bool accepts(const Row &row, const unsigned char *pixel) noexcept
{
    return verdict_table::accepts(pixel[row.red], pixel[row.green], pixel[row.blue]);
}

// Pixels [x, width) one at a time, into bits that are already clear.
void scalar_from(const Row &row, std::size_t x, Word *bits) noexcept
{
    const unsigned char *pixel = row.first + static_cast<std::ptrdiff_t>(x) * row.column_stride;
    for (; x < row.width; ++x, pixel += row.column_stride) {
        bits[x / word_bits] |= Word{accepts(row, pixel)} << (x % word_bits);
    }
}

bool packed(const Row &row) noexcept
{
    const std::ptrdiff_t size = row.column_stride;
    const auto inside = [size](std::ptrdiff_t offset) { return offset >= 0 && offset < size; };
    return (size == 3 || size == 4) && inside(row.red) && inside(row.green) && inside(row.blue);
}

#if TONESIFT_X86_64

// Verdicts of the lanes marked in `scattered`, of the eight pixels from `pixel`, put right.
unsigned look_up_scattered(const Row &row, const unsigned char *pixel, unsigned verdicts,
                           unsigned scattered) noexcept
{
    for (; scattered != 0; scattered &= scattered - 1) {
        const int lane = __builtin_ctz(scattered);
        const unsigned accepted = accepts(row, pixel + lane * row.column_stride);
        verdicts = (verdicts & ~(1u << lane)) | accepted << lane;
    }
    return verdicts;
}

std::uint16_t table_pair(unsigned index) noexcept
{
    std::uint16_t pair;  // first in the low byte, last in the high one
    std::memcpy(&pair, &verdict_table::runs[index], sizeof pair);
    return pair;
}

// Eight pixels a step, each with scalar loads; returns how many pixels it did (a multiple of 8).
std::size_t packed_sse2(const Row &row, unsigned char *bytes) noexcept
{
    const std::ptrdiff_t size = row.column_stride;
    const __m128i low = _mm_set1_epi16(0xFF), one = _mm_set1_epi16(1);
    const unsigned char *pixel = row.first;
    std::size_t x = 0;
    for (; x + 8 <= row.width; x += 8, pixel += 8 * size) {
        __m128i pairs = _mm_setzero_si128(), blues = _mm_setzero_si128();
#define TONESIFT_LANE(lane)                                                                      \
    {                                                                                            \
        const unsigned char *p = pixel + (lane) * size;                                          \
        pairs = _mm_insert_epi16(pairs, table_pair(p[row.red] << 8 | p[row.green]), lane);       \
        blues = _mm_insert_epi16(blues, p[row.blue], lane);                                      \
    }
        TONESIFT_LANE(0) TONESIFT_LANE(1) TONESIFT_LANE(2) TONESIFT_LANE(3)
        TONESIFT_LANE(4) TONESIFT_LANE(5) TONESIFT_LANE(6) TONESIFT_LANE(7)
#undef TONESIFT_LANE
        const __m128i first = _mm_and_si128(pairs, low), last = _mm_srli_epi16(pairs, 8);
        const __m128i rejected =
            _mm_or_si128(_mm_cmpgt_epi16(first, blues), _mm_cmpgt_epi16(blues, last));
        const __m128i scattered = _mm_cmpgt_epi16(first, _mm_add_epi16(last, one));
        const auto lanes =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(rejected, scattered)));
        unsigned verdicts = ~lanes & 0xFF;
        if (lanes >> 8 != 0) [[unlikely]] {
            verdicts = look_up_scattered(row, pixel, verdicts, lanes >> 8);
        }
        bytes[x / 8] = static_cast<unsigned char>(verdicts);
    }
    return x;
}

// Eight pixels a step with one gather. Each step loads 16 bytes at its first and at its fifth
// pixel, which may reach past the eighth: it stops where that would read past the row.
[[gnu::target("avx2")]] std::size_t packed_avx2(const Row &row, unsigned char *bytes) noexcept
{
    const std::ptrdiff_t size = row.column_stride;
    alignas(16) signed char index_bytes[16], blue_bytes[16];
    for (int lane = 0; lane < 4; ++lane) {
        const auto at = [&](std::ptrdiff_t offset) {
            return static_cast<signed char>(lane * size + offset);
        };
        index_bytes[4 * lane] = at(row.green);  // red << 8 | green, as a 32-bit lane
        index_bytes[4 * lane + 1] = at(row.red);
        blue_bytes[4 * lane] = at(row.blue);
        index_bytes[4 * lane + 2] = index_bytes[4 * lane + 3] = -128;  // -128: a zero byte
        blue_bytes[4 * lane + 1] = blue_bytes[4 * lane + 2] = blue_bytes[4 * lane + 3] = -128;
    }
    const __m256i index_shuffle =
        _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i *>(index_bytes)));
    const __m256i blue_shuffle =
        _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i *>(blue_bytes)));
    const __m256i low = _mm256_set1_epi32(0xFF), one = _mm256_set1_epi32(1);
    const __m256i two = _mm256_set1_epi32(2), thirty_one = _mm256_set1_epi32(31);
    const auto *table = reinterpret_cast<const int *>(verdict_table::runs);
    const auto *scattered_words = reinterpret_cast<const int *>(verdict_table::scattered);
    const std::ptrdiff_t row_bytes = static_cast<std::ptrdiff_t>(row.width - 1) * size +
                                     std::max({row.red, row.green, row.blue}) + 1;
    const unsigned char *pixel = row.first;
    std::size_t x = 0;
    for (; x + 8 <= row.width && static_cast<std::ptrdiff_t>(x + 4) * size + 16 <= row_bytes;
         x += 8, pixel += 8 * size) {
        const __m256i levels = _mm256_inserti128_si256(
            _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(pixel))),
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(pixel + 4 * size)), 1);
        const __m256i index = _mm256_shuffle_epi8(levels, index_shuffle);
        const __m256i blue = _mm256_shuffle_epi8(levels, blue_shuffle);
        const __m256i pairs = _mm256_i32gather_epi32(table, index, 2);
        const __m256i first = _mm256_and_si256(pairs, low);
        const __m256i last = _mm256_and_si256(_mm256_srli_epi32(pairs, 8), low);
        const __m256i rejected =
            _mm256_or_si256(_mm256_cmpgt_epi32(first, blue), _mm256_cmpgt_epi32(blue, last));
        const __m256i scattered = _mm256_cmpgt_epi32(first, _mm256_add_epi32(last, one));
        __m256i accepted = _mm256_andnot_si256(rejected, _mm256_set1_epi32(-1));
        if (!_mm256_testz_si256(scattered, scattered)) [[unlikely]] {
            // Those lanes' blue levels are bits of a 256-bit row: gather the 32-bit word that
            // holds blue's bit, from row (first - 1) * (first - 2) / 2 + last.
            const __m256i numbers = _mm256_add_epi32(
                _mm256_srli_epi32(_mm256_mullo_epi32(_mm256_sub_epi32(first, one),
                                                     _mm256_sub_epi32(first, two)), 1),
                last);
            const __m256i words = _mm256_add_epi32(_mm256_slli_epi32(numbers, 3),
                                                   _mm256_srli_epi32(blue, 5));
            const __m256i row_bits = _mm256_mask_i32gather_epi32(
                _mm256_setzero_si256(), scattered_words, words, scattered, 4);
            const __m256i bit = _mm256_and_si256(
                _mm256_srlv_epi32(row_bits, _mm256_and_si256(blue, thirty_one)), one);
            accepted = _mm256_blendv_epi8(accepted, _mm256_cmpeq_epi32(bit, one), scattered);
        }
        const auto verdicts =
            static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(accepted)));
        bytes[x / 8] = static_cast<unsigned char>(verdicts);
    }
    return x;
}

bool cpu_has_avx2() noexcept
{
    unsigned a, b, c, d;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0 || (c & bit_OSXSAVE) == 0 || (c & bit_AVX) == 0) {
        return false;
    }
    unsigned enabled, high;  // the operating system must save the vector registers
    __asm__("xgetbv" : "=a"(enabled), "=d"(high) : "c"(0));
    if ((enabled & 6) != 6 || __get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) {
        return false;
    }
    return (b & bit_AVX2) != 0;
}

#endif

constexpr std::array<Word, 256> byte_expansion = [] {
    std::array<Word, 256> table{};
    for (unsigned bits = 0; bits < 256; ++bits) {
        for (unsigned bit = 0; bit < 8; ++bit) {
            table[bits] |= Word{bits >> bit & 1} << (8 * bit);
        }
    }
    return table;
}();

std::atomic<Path> active{best_path()};

}  // namespace

bool supported(Path path) noexcept
{
#if TONESIFT_X86_64
    static const bool avx2 = cpu_has_avx2();
    return path != Path::avx2 || avx2;
#else
    return path == Path::scalar;
#endif
}

Path best_path() noexcept
{
    return supported(Path::avx2) ? Path::avx2 : supported(Path::sse2) ? Path::sse2 : Path::scalar;
}

Path active_path() noexcept { return active.load(std::memory_order_relaxed); }

void set_active_path(Path path) noexcept { active.store(path, std::memory_order_relaxed); }

void classify(const Row &row, Word *bits, Path path) noexcept
{
    std::fill(bits, bits + words_for(row.width), Word{0});
    std::size_t done = 0;
#if TONESIFT_X86_64
    if (packed(row) && path != Path::scalar) {
        auto *bytes = reinterpret_cast<unsigned char *>(bits);  // little-endian words
        done = path == Path::avx2 ? packed_avx2(row, bytes) : packed_sse2(row, bytes);
    }
#endif
    scalar_from(row, done, bits);
}

void expand(const Word *bits, std::size_t width, std::uint8_t *bytes) noexcept
{
    std::size_t x = 0;
    if constexpr (std::endian::native == std::endian::little) {
        for (; x + 8 <= width; x += 8) {
            const Word eight = byte_expansion[bits[x / word_bits] >> (x % word_bits) & 0xFF];
            std::memcpy(bytes + x, &eight, sizeof eight);
        }
    }
    for (; x < width; ++x) {
        bytes[x] = bits[x / word_bits] >> (x % word_bits) & 1;
    }
}

}  // namespace tonesift::level_rows
