// The SIMD paths look up eight pixels at a time in the verdict table: a byte shuffle gathers
// each pixel's red and green into a table index and its blue into a lane of its own, the table's
// (first, last) pairs come in with one gather (AVX2) or eight scalar loads (SSE2), and two
// comparisons give eight verdicts at once. Eight verdicts make one byte of the row's bits, which
// on x86 is the byte of the 64-bit word that holds them.
//
// The rare pairs whose blue levels are scattered, not one run, are only marked as the steps go,
// and their steps looked up again after a chunk of steps: with a second gather (AVX2) or one
// pixel at a time (SSE2). A branch on them in the loop would wait for the table loads, and each
// one mispredicted would throw away all the loads in flight behind it: on a mosaic of photos,
// where 6% of steps have such a pair, that branch cost more than a third of the whole AVX2 path.
// The AVX2 look-up is AVX2 code of its own, with the scan of the marks inlined into it.
#include "level_rows_x86.h"

#if TONESIFT_X86_64

#include "verdict_table.h"

#include <immintrin.h>

#include <algorithm>
#include <cstring>

namespace tonesift::level_rows::x86 {
namespace {

bool accepts(const Row &row, const unsigned char *pixel) noexcept
{
    return verdict_table::accepts(pixel[row.red], pixel[row.green], pixel[row.blue]);
}

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

constexpr std::size_t chunk_steps = 256;  // steps of eight pixels between two look-ups

// The marks of a chunk's `count` steps, a byte each, padded with zeros to a multiple of
// `group` (which divides chunk_steps).
void pad_marks(unsigned char *marks, std::size_t count, std::size_t group) noexcept
{
    std::fill(marks + count, marks + (count + group - 1) / group * group, 0);
}

// Looks up again the marked lanes of steps [first, first + count), one pixel at a time.
void look_up_marked(const Row &row, std::size_t first, unsigned char *marks, std::size_t count,
                    unsigned char *bytes) noexcept
{
    pad_marks(marks, count, 8);
    for (std::size_t at = 0; at < count; at += 8) {
        std::uint64_t eight;
        std::memcpy(&eight, marks + at, sizeof eight);
        while (eight != 0) {
            const int byte = __builtin_ctzll(eight) / 8;
            const std::size_t step = first + at + static_cast<std::size_t>(byte);
            const auto lanes = static_cast<unsigned>(eight >> (8 * byte) & 0xFF);
            eight &= ~(std::uint64_t{0xFF} << (8 * byte));
            const unsigned char *pixel =
                row.first + static_cast<std::ptrdiff_t>(8 * step) * row.column_stride;
            bytes[step] =
                static_cast<unsigned char>(look_up_scattered(row, pixel, bytes[step], lanes));
        }
    }
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
    const std::ptrdiff_t red = row.red, green = row.green, blue = row.blue;
    const std::size_t steps = row.width / 8;
    alignas(8) unsigned char marks[chunk_steps];
    const unsigned char *pixel = row.first;
    for (std::size_t chunk = 0; chunk < steps; chunk += chunk_steps) {
        const std::size_t end = std::min(steps, chunk + chunk_steps);
        for (std::size_t step = chunk; step < end; ++step, pixel += 8 * size) {
            __m128i pairs = _mm_setzero_si128(), blues = _mm_setzero_si128();
#define TONESIFT_LANE(lane)                                                                      \
    {                                                                                            \
        const unsigned char *p = pixel + (lane) * size;                                          \
        pairs = _mm_insert_epi16(pairs, table_pair(p[red] << 8 | p[green]), lane);               \
        blues = _mm_insert_epi16(blues, p[blue], lane);                                          \
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
            bytes[step] = static_cast<unsigned char>(~lanes & 0xFF);
            marks[step - chunk] = static_cast<unsigned char>(lanes >> 8);
        }
        look_up_marked(row, chunk, marks, end - chunk, bytes);
    }
    return 8 * steps;
}

// What a step learns of its eight pixels: the lanes rejected by their runs, and the lanes whose
// pairs are scattered, to be looked up again.
struct Eight {
    __m256i rejected, scattered;
};

// One layout's byte shuffles, and the step of eight pixels that uses them.
class StepsAvx2 {
public:
    [[gnu::target("avx2")]] explicit StepsAvx2(const Row &row) noexcept : size_(row.column_stride)
    {
        alignas(16) signed char index_bytes[16], blue_bytes[16];
        for (int lane = 0; lane < 4; ++lane) {
            const auto at = [&](std::ptrdiff_t offset) {
                return static_cast<signed char>(lane * size_ + offset);
            };
            index_bytes[4 * lane] = at(row.green);  // red << 8 | green, as a 32-bit lane
            index_bytes[4 * lane + 1] = at(row.red);
            blue_bytes[4 * lane] = at(row.blue);
            index_bytes[4 * lane + 2] = index_bytes[4 * lane + 3] = -128;  // -128: a zero byte
            blue_bytes[4 * lane + 1] = blue_bytes[4 * lane + 2] = blue_bytes[4 * lane + 3] = -128;
        }
        index_shuffle_ = _mm256_broadcastsi128_si256(
            _mm_load_si128(reinterpret_cast<const __m128i *>(index_bytes)));
        blue_shuffle_ = _mm256_broadcastsi128_si256(
            _mm_load_si128(reinterpret_cast<const __m128i *>(blue_bytes)));
    }

    // The eight pixels from `pixel`: their blue levels, table pairs and verdicts.
    [[gnu::target("avx2"), gnu::always_inline]] inline void step(const unsigned char *pixel,
                                                                 __m256i &blue, __m256i &first,
                                                                 __m256i &last, Eight &out) const
        noexcept
    {
        const __m256i low = _mm256_set1_epi32(0xFF), one = _mm256_set1_epi32(1);
        const __m256i levels = _mm256_inserti128_si256(
            _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(pixel))),
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(pixel + 4 * size_)), 1);
        const __m256i index = _mm256_shuffle_epi8(levels, index_shuffle_);
        blue = _mm256_shuffle_epi8(levels, blue_shuffle_);
        const __m256i pairs = _mm256_i32gather_epi32(
            reinterpret_cast<const int *>(verdict_table::runs), index, 2);
        first = _mm256_and_si256(pairs, low);
        last = _mm256_and_si256(_mm256_srli_epi32(pairs, 8), low);
        out.rejected =
            _mm256_or_si256(_mm256_cmpgt_epi32(first, blue), _mm256_cmpgt_epi32(blue, last));
        out.scattered = _mm256_cmpgt_epi32(first, _mm256_add_epi32(last, one));
    }

private:
    std::ptrdiff_t size_;
    __m256i index_shuffle_, blue_shuffle_;
};

// The marked steps of a chunk again, all eight lanes at once: the scattered lanes' blue levels
// are bits of 256-bit rows, and a second gather brings the 32-bit word that holds blue's bit,
// from row (first - 1) * (first - 2) / 2 + last.
[[gnu::target("avx2")]] void look_up_marked_avx2(const StepsAvx2 &steps, const Row &row,
                                                 std::size_t chunk, unsigned char *marks,
                                                 std::size_t count, unsigned char *bytes) noexcept
{
    const __m256i one = _mm256_set1_epi32(1), two = _mm256_set1_epi32(2);
    const __m256i thirty_one = _mm256_set1_epi32(31);
    const auto *scattered_words = reinterpret_cast<const int *>(verdict_table::scattered);
    // The marked steps of 64 at a time as bits: one loop turn per marked step, whose end is
    // mispredicted once per 64 steps rather than once per eight.
    pad_marks(marks, count, 64);
    const __m256i zero = _mm256_setzero_si256();
    for (std::size_t at = 0; at < count; at += 64) {
        const auto *group = reinterpret_cast<const __m256i *>(marks + at);
        const auto low = static_cast<std::uint32_t>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_loadu_si256(group), zero)));
        const auto high = static_cast<std::uint32_t>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_loadu_si256(group + 1), zero)));
        std::uint64_t marked = ~(std::uint64_t{high} << 32 | low);
        for (; marked != 0; marked &= marked - 1) {
            const std::size_t step = chunk + at + static_cast<std::size_t>(__builtin_ctzll(marked));
            __m256i blue, first, last;
            Eight verdicts;
            steps.step(row.first + static_cast<std::ptrdiff_t>(8 * step) * row.column_stride,
                       blue, first, last, verdicts);
            const __m256i numbers = _mm256_add_epi32(
                _mm256_srli_epi32(_mm256_mullo_epi32(_mm256_sub_epi32(first, one),
                                                     _mm256_sub_epi32(first, two)), 1),
                last);
            const __m256i words =
                _mm256_add_epi32(_mm256_slli_epi32(numbers, 3), _mm256_srli_epi32(blue, 5));
            const __m256i row_bits = _mm256_mask_i32gather_epi32(
                _mm256_setzero_si256(), scattered_words, words, verdicts.scattered, 4);
            const __m256i bit = _mm256_and_si256(
                _mm256_srlv_epi32(row_bits, _mm256_and_si256(blue, thirty_one)), one);
            const __m256i accepted =
                _mm256_blendv_epi8(_mm256_andnot_si256(verdicts.rejected, _mm256_set1_epi32(-1)),
                                   _mm256_cmpeq_epi32(bit, one), verdicts.scattered);
            bytes[step] = static_cast<unsigned char>(
                _mm256_movemask_ps(_mm256_castsi256_ps(accepted)));
        }
    }
}

// Eight pixels a step with one gather. Each step loads 16 bytes at its first and at its fifth
// pixel, which may reach past the eighth: it stops where that would read past the row.
[[gnu::target("avx2")]] std::size_t packed_avx2(const Row &row, unsigned char *bytes) noexcept
{
    const std::ptrdiff_t size = row.column_stride;
    const StepsAvx2 steps_of(row);
    const std::ptrdiff_t row_bytes = static_cast<std::ptrdiff_t>(row.width - 1) * size +
                                     std::max({row.red, row.green, row.blue}) + 1;
    std::size_t steps = row.width / 8;
    while (steps > 0 && static_cast<std::ptrdiff_t>(8 * steps - 4) * size + 16 > row_bytes) {
        --steps;
    }
    alignas(8) unsigned char marks[chunk_steps];
    const unsigned char *pixel = row.first;
    for (std::size_t chunk = 0; chunk < steps; chunk += chunk_steps) {
        const std::size_t end = std::min(steps, chunk + chunk_steps);
        for (std::size_t step = chunk; step < end; ++step, pixel += 8 * size) {
            __m256i blue, first, last;
            Eight verdicts;
            steps_of.step(pixel, blue, first, last, verdicts);
            bytes[step] = static_cast<unsigned char>(
                ~_mm256_movemask_ps(_mm256_castsi256_ps(verdicts.rejected)) & 0xFF);
            marks[step - chunk] = static_cast<unsigned char>(
                _mm256_movemask_ps(_mm256_castsi256_ps(verdicts.scattered)));
        }
        look_up_marked_avx2(steps_of, row, chunk, marks, end - chunk, bytes);
    }
    return 8 * steps;
}


// Whether a row's pixels are 3 or 4 bytes each, with their three levels inside them.
bool is_packed(const Row &row) noexcept
{
    const std::ptrdiff_t size = row.column_stride;
    const auto inside = [size](std::ptrdiff_t offset) { return offset >= 0 && offset < size; };
    return (size == 3 || size == 4) && inside(row.red) && inside(row.green) && inside(row.blue);
}

}  // namespace

std::size_t packed(const Row &row, unsigned char *bytes, Path path) noexcept
{
    if (!is_packed(row)) {
        return 0;
    }
    return path == Path::avx2 ? packed_avx2(row, bytes) : packed_sse2(row, bytes);
}

}  // namespace tonesift::level_rows::x86

#endif
