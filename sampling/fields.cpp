// Reading the counts out of one line of the table. The fields after the label
// are taken in order, each starting after a run of blanks and read as strtol
// reads it into 64 bits, whatever the width of long. Kernel tables print every
// count as "%10u ", so runs of such 11-character fields are checked and
// converted a whole field at a time; any other text takes the general path,
// with the same results.

#include "kevrane.h"

#include <array>
#include <cstring>
// The x86 vector paths can be left out (KEVRANE_PORTABLE) to measure the
// portable one, which every other architecture runs.
#if defined(__x86_64__) && !defined(KEVRANE_PORTABLE)
#define KEVRANE_X86 1
#include <immintrin.h>
#endif

namespace kevrane {

namespace {

constexpr int kfield = 11; // "%10u ": ten columns and the separating blank

bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Eight characters as a word whose lowest byte is the first character, on
// machines of either byte order.
inline std::uint64_t load_le64(const char *p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

// Eight digit values, one per byte with the first in the lowest, as a number.
std::uint64_t eight_digits(std::uint64_t v) {
    v = v * 10 + (v >> 8);
    return (((v & 0x000000FF000000FF) * 0x000F424000000064) +
            (((v >> 16) & 0x000000FF000000FF) * 0x0000271000000001)) >>
           32;
}

// If the 11 characters at g are blanks, then at least one digit up to the
// tenth column, then a blank, gives their number. A blank standing before g
// makes the digits the field that a run of blanks leads to.
#if defined(KEVRANE_X86)
[[gnu::always_inline]] inline bool kernel_field(const char *g, std::int64_t &value) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(g));
    const unsigned sp =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, _mm_set1_epi8(' '))));
    const unsigned dg = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(
        _mm_cmpgt_epi8(x, _mm_set1_epi8('0' - 1)), _mm_cmplt_epi8(x, _mm_set1_epi8('9' + 1)))));
    const unsigned d = dg & 0x3FF;
    // Digits run without a gap to the tenth column, blanks fill the rest.
    if (d == 0 || d + (d & -d) != 0x400 || (sp & 0x7FF) != (0x400 | (0x3FF ^ d))) return false;
    // Blanks (0x20) keep no low bits: they read as leading zeros.
    const std::uint64_t low = load_le64(g + 2) & 0x0F0F0F0F0F0F0F0F;
    const std::int64_t high = (g[0] & 0x0F) * 10 + (g[1] & 0x0F);
    value = high * 100000000 + static_cast<std::int64_t>(eight_digits(low));
    return true;
}
#else
constexpr std::uint64_t ones = 0x0101010101010101;
constexpr std::uint64_t tops = 0x80 * ones;
constexpr std::uint64_t low7 = 0x7F * ones;

// The top bit of each byte of a little-endian word that is a blank, exactly:
// no carry crosses from one byte into the next.
inline std::uint64_t blanks(std::uint64_t w) {
    const std::uint64_t x = w ^ (' ' * ones);
    return ~(((x & low7) + low7) | x | low7);
}

// The same for the digits.
inline std::uint64_t digits(std::uint64_t w) {
    const std::uint64_t c = w & low7;
    return (c + (0x80 - '0') * ones) & ~(c + (0x80 - '9' - 1) * ones) & ~w & tops;
}

// The same check eight characters at a time, on two words.
[[gnu::always_inline]] inline bool kernel_field(const char *g, std::int64_t &value) {
    const std::uint64_t w0 = load_le64(g), w1 = load_le64(g + 8);
    const std::uint64_t s0 = blanks(w0), d0 = digits(w0), s1 = blanks(w1), d1 = digits(w1);
    // Columns 0-7 hold blanks or digits, no blank after a digit (columns 7
    // to 8 included); column 8 a blank or a digit, 9 a digit, 10 a blank.
    const std::uint64_t wrong = ((s0 | d0) ^ tops) | (d0 << 8 & s0) | (d0 >> 56 & s1) |
                                (((d1 & 0x8080) | (s1 & 0x800080)) ^ 0x808080);
    if (wrong) return false;
    // Blanks (0x20) keep no low bits: they read as leading zeros.
    const std::uint64_t first8 = eight_digits(w0 & 0x0F0F0F0F0F0F0F0F);
    value = static_cast<std::int64_t>(first8 * 100 + (w1 & 0x0F) * 10 + (w1 >> 8 & 0x0F));
    return true;
}
#endif

// Cells of 32 bits take the kernel's counts; a field past 2^32 - 1 ends a
// run of fields converted at once, and the one at a time path then finds it
// does not fit.
template <class Cell> constexpr bool narrow = sizeof(Cell) == 4;
constexpr std::int64_t cell_max = 0xFFFFFFFF;

#if defined(KEVRANE_X86)
// Converts kernel-format fields two at a time, one in each 128-bit half, for
// as long as both fields of a pair pass the check (and fit the cells); returns
// how many it did. Their sum is added to `sum` (no pass can hold enough fields
// to overflow it), and `down` is set when one is below the previous sample's
// count in `prev`.
template <class Cell>
[[gnu::target("avx2")]] int kernel_pairs_avx2(const char *g, int n, Cell *out, const Cell *prev,
                                              std::int64_t &sum, bool &down) {
    const __m256i blank = _mm256_set1_epi8(' ');
    const __m256i below = _mm256_set1_epi8('0' - 1);
    const __m256i above = _mm256_set1_epi8('9' + 1);
    // Columns 0-8 may hold blanks then digits, column 9 a digit before the blank in column 10.
    const __m256i lead = _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 0, 0, 0, 0, 0, 0,
                                          -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 0, 0, 0, 0, 0, 0);
    const __m256i last = _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 0, -1, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                          0, 0, 0, 0, 0, 0, -1, 0, 0, 0, 0, 0, 0);
    // Digit pairs, then groups of four, then the whole ten columns.
    const __m256i tens = _mm256_setr_epi8(10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 0, 0, 0, 0, 0, 0, 10,
                                          1, 10, 1, 10, 1, 10, 1, 10, 1, 0, 0, 0, 0, 0, 0);
    const __m256i hundreds =
        _mm256_setr_epi16(100, 1, 100, 1, 1, 0, 0, 0, 100, 1, 100, 1, 1, 0, 0, 0);
    const __m256i scale_even = _mm256_setr_epi64x(1000000, 1, 1000000, 1);
    const __m256i scale_odd = _mm256_setr_epi64x(100, 0, 100, 0);
    __m128i total = _mm_setzero_si128(), fell = _mm_setzero_si128();
    int done = 0;
    for (; done + 2 <= n; done += 2, g += 2 * kfield) {
        const __m256i x = _mm256_loadu2_m128i(reinterpret_cast<const __m128i *>(g + kfield),
                                              reinterpret_cast<const __m128i *>(g));
        const __m256i sp = _mm256_cmpeq_epi8(x, blank);
        const __m256i dg =
            _mm256_and_si256(_mm256_cmpgt_epi8(x, below), _mm256_cmpgt_epi8(above, x));
        // A digit followed by a blank ends the digits: allowed only in column 9.
        const __m256i ends = _mm256_and_si256(dg, _mm256_srli_si256(sp, 1));
        const __m256i ok = _mm256_or_si256(
            _mm256_and_si256(lead, _mm256_andnot_si256(ends, _mm256_or_si256(sp, dg))),
            _mm256_and_si256(last, ends));
        if ((static_cast<unsigned>(_mm256_movemask_epi8(ok)) & 0x03FF03FF) != 0x03FF03FF) break;
        const __m256i digits = _mm256_and_si256(x, _mm256_set1_epi8(0x0F));
        const __m256i pairs = _mm256_maddubs_epi16(digits, tens);
        const __m256i fours = _mm256_madd_epi16(pairs, hundreds);
        __m256i v = _mm256_add_epi64(_mm256_mul_epu32(fours, scale_even),
                                     _mm256_mul_epu32(_mm256_srli_epi64(fours, 32), scale_odd));
        v = _mm256_add_epi64(v, _mm256_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
        const __m128i two =
            _mm256_castsi256_si128(_mm256_permute4x64_epi64(v, _MM_SHUFFLE(3, 1, 2, 0)));
        if constexpr (narrow<Cell>) {
            if (!_mm_testz_si128(_mm_cmpgt_epi64(two, _mm_set1_epi64x(cell_max)),
                                 _mm_set1_epi8(-1)))
                break;
            const __m128i was =
                _mm_cvtepu32_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(prev + done)));
            fell = _mm_or_si128(fell, _mm_cmpgt_epi64(was, two));
            _mm_storel_epi64(reinterpret_cast<__m128i *>(out + done),
                             _mm_shuffle_epi32(two, _MM_SHUFFLE(2, 0, 2, 0)));
        } else {
            fell = _mm_or_si128(
                fell, _mm_cmpgt_epi64(
                          _mm_loadu_si128(reinterpret_cast<const __m128i *>(prev + done)), two));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + done), two);
        }
        total = _mm_add_epi64(total, two);
    }
    sum = sat_add(sum, _mm_cvtsi128_si64(total) + _mm_extract_epi64(total, 1));
    down |= !_mm_testz_si128(fell, fell);
    return done;
}

// The same four fields at a time, one in each 128-bit quarter. (GCC 12's
// AVX-512 intrinsics start from deliberately undefined registers, which its
// own warnings then report.)
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
template <class Cell>
[[gnu::target("avx512f,avx512bw")]] int kernel_quads_avx512(const char *g, int n, Cell *out,
                                                            const Cell *prev, std::int64_t &sum,
                                                            bool &down) {
    const __m512i blank = _mm512_set1_epi8(' ');
    const __m512i below = _mm512_set1_epi8('0' - 1);
    const __m512i above = _mm512_set1_epi8('9' + 1);
    constexpr std::uint64_t lead = 0x01FF01FF01FF01FF, last = 0x0200020002000200;
    const __m512i tens = _mm512_set4_epi32(0, 0x0000010A, 0x010A010A, 0x010A010A);
    const __m512i hundreds = _mm512_set4_epi32(0, 1, 0x00010064, 0x00010064);
    const __m512i scale_even = _mm512_set_epi64(1, 1000000, 1, 1000000, 1, 1000000, 1, 1000000);
    const __m512i scale_odd = _mm512_set_epi64(0, 100, 0, 100, 0, 100, 0, 100);
    const __m512i firsts = _mm512_set_epi64(6, 4, 2, 0, 6, 4, 2, 0);
    __m256i total = _mm256_setzero_si256(), fell = _mm256_setzero_si256();
    int done = 0;
    for (; done + 4 <= n; done += 4, g += 4 * kfield) {
        __m512i x = _mm512_castsi128_si512(_mm_loadu_si128(reinterpret_cast<const __m128i *>(g)));
        x = _mm512_inserti32x4(x, _mm_loadu_si128(reinterpret_cast<const __m128i *>(g + kfield)),
                               1);
        x = _mm512_inserti32x4(
            x, _mm_loadu_si128(reinterpret_cast<const __m128i *>(g + 2 * kfield)), 2);
        x = _mm512_inserti32x4(
            x, _mm_loadu_si128(reinterpret_cast<const __m128i *>(g + 3 * kfield)), 3);
        const std::uint64_t sp = _mm512_cmpeq_epi8_mask(x, blank);
        const std::uint64_t dg =
            _mm512_cmpgt_epi8_mask(x, below) & _mm512_cmplt_epi8_mask(x, above);
        const std::uint64_t ends = dg & (sp >> 1);
        if (((lead & (sp | dg) & ~ends) | (last & ends)) != (lead | last)) break;
        const __m512i pairs =
            _mm512_maddubs_epi16(_mm512_and_si512(x, _mm512_set1_epi8(0x0F)), tens);
        const __m512i fours = _mm512_madd_epi16(pairs, hundreds);
        __m512i v = _mm512_add_epi64(_mm512_mul_epu32(fours, scale_even),
                                     _mm512_mul_epu32(_mm512_srli_epi64(fours, 32), scale_odd));
        v = _mm512_add_epi64(v, _mm512_shuffle_epi32(v, _MM_PERM_BADC));
        const __m256i four = _mm512_castsi512_si256(_mm512_permutexvar_epi64(firsts, v));
        if constexpr (narrow<Cell>) {
            if (!_mm256_testz_si256(_mm256_cmpgt_epi64(four, _mm256_set1_epi64x(cell_max)),
                                    _mm256_set1_epi8(-1)))
                break;
            const __m256i was = _mm256_cvtepu32_epi64(
                _mm_loadu_si128(reinterpret_cast<const __m128i *>(prev + done)));
            fell = _mm256_or_si256(fell, _mm256_cmpgt_epi64(was, four));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + done),
                             _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(
                                 four, _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6))));
        } else {
            fell = _mm256_or_si256(
                fell,
                _mm256_cmpgt_epi64(
                    _mm256_loadu_si256(reinterpret_cast<const __m256i *>(prev + done)), four));
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + done), four);
        }
        total = _mm256_add_epi64(total, four);
    }
    alignas(32) std::int64_t t[4];
    _mm256_store_si256(reinterpret_cast<__m256i *>(t), total);
    sum = sat_add(sum, t[0] + t[1] + t[2] + t[3]);
    down |= !_mm256_testz_si256(fell, fell);
    return done;
}

// Byte positions in the 88 columns of eight fields: lane k of the result
// takes `count` columns of field k from column `first` on, the rest of the
// lane its column 0.
constexpr std::array<std::uint8_t, 64> gather(int first, int count) {
    std::array<std::uint8_t, 64> ix{};
    for (int k = 0; k < 8; ++k)
        for (int c = 0; c < 8; ++c)
            ix[8 * k + c] = static_cast<std::uint8_t>(kfield * k + (c < count ? first + c : 0));
    return ix;
}

// Bit k * 11 + column of the 88 columns, for each of eight fields, as two words.
constexpr std::array<std::uint64_t, 2> each_field(int column) {
    std::array<std::uint64_t, 2> bits{};
    for (int k = 0; k < 8; ++k) {
        const int at = kfield * k + column;
        bits[at / 64] |= std::uint64_t{1} << at % 64;
    }
    return bits;
}

// Eight fields at a time from two plain loads: a byte permute gathers each
// field's last eight columns into one 64-bit lane and its first two into
// another, so no field needs a load of its own. The check runs on the
// loaded bytes as they stand, as bit masks of the 88 columns. Into 32-bit
// cells, a field past 2^32 - 1 clears `fits` (the caller then stores the line
// again in 64 bits): checked once for the whole run, since moving a mask out
// of the vector unit for every round is what this loop is short of.
template <class Cell>
[[gnu::target("avx512f,avx512bw,avx512vl,avx512vbmi")]] int
kernel_octets_vbmi(const char *g, int n, Cell *out, const Cell *prev, std::int64_t &sum, bool &down,
                   bool &fits) {
    alignas(64) static constexpr auto lower = gather(2, 8), upper = gather(0, 2);
    // The one column where a digit may stand before a blank.
    constexpr auto nine = each_field(9);
    constexpr std::uint32_t used = 0xFFFFFF; // columns 64-87 in the second load
    __m512i blank = _mm512_set1_epi8(' ');
    __m512i zero = _mm512_set1_epi8('0');
    __m512i ten = _mm512_set1_epi8(10);
    __m512i low = _mm512_set1_epi8(0x0F);
    const __m512i lo_ix = _mm512_load_si512(lower.data());
    const __m512i hi_ix = _mm512_load_si512(upper.data());
    __m512i tens = _mm512_set1_epi16(0x010A);         // 10 * first + second
    __m512i lead = _mm512_set1_epi64(0x010A);         // the same for the lane's first two only
    __m512i hundreds = _mm512_set1_epi32(0x00010064); // 100 * first + second
    __m512i e4 = _mm512_set1_epi64(10000), e8 = _mm512_set1_epi64(100000000);
    __m512i wide = _mm512_set1_epi64(~cell_max); // bits a 32-bit cell has no room for
    // GCC would build these again on every round of the loop, a tenth of its
    // time; an empty asm that claims to change them keeps them in registers.
    asm(""
        : "+v"(blank), "+v"(zero), "+v"(ten), "+v"(low), "+v"(tens), "+v"(lead), "+v"(hundreds),
          "+v"(e4), "+v"(e8), "+v"(wide));
    const __m256i blank2 = _mm512_castsi512_si256(blank), zero2 = _mm512_castsi512_si256(zero),
                  ten2 = _mm512_castsi512_si256(ten);
    __m512i total = _mm512_setzero_si512(), all = _mm512_setzero_si512();
    __m256i below = _mm256_setzero_si256(); // lanes where a previous count was higher
    __mmask8 fell = 0;
    int done = 0;
    for (; done + 8 <= n; done += 8, g += 8 * kfield) {
        const __m512i a = _mm512_loadu_si512(g);
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(g + 64));
        const std::uint64_t s0 = _mm512_cmpeq_epi8_mask(a, blank);
        const std::uint64_t s1 = _mm256_cmpeq_epi8_mask(b, blank2) & used;
        const std::uint64_t d0 = _mm512_cmplt_epu8_mask(_mm512_sub_epi8(a, zero), ten);
        const std::uint64_t d1 = _mm256_cmplt_epu8_mask(_mm256_sub_epi8(b, zero2), ten2) & used;
        // Every column a blank or a digit, and a digit followed by a blank
        // only in column 9: blanks lead, digits run to the end.
        const std::uint64_t ends0 = d0 & (s0 >> 1 | s1 << 63), ends1 = d1 & s1 >> 1;
        if ((~(s0 | d0) | ((s1 | d1) ^ used) | (ends0 ^ nine[0]) | (ends1 ^ nine[1])) != 0) break;
        // Blanks (0x20) keep no low bits: they read as leading zeros.
        const __m512i bz = _mm512_castsi256_si512(b);
        const __m512i x = _mm512_and_si512(_mm512_permutex2var_epi8(a, lo_ix, bz), low);
        const __m512i y = _mm512_and_si512(_mm512_permutex2var_epi8(a, hi_ix, bz), low);
        const __m512i fours = _mm512_madd_epi16(_mm512_maddubs_epi16(x, tens), hundreds);
        const __m512i v = _mm512_add_epi64(
            _mm512_add_epi64(_mm512_mul_epu32(fours, e4), _mm512_srli_epi64(fours, 32)),
            _mm512_mul_epu32(_mm512_maddubs_epi16(y, lead), e8));
        // The previous sample streams in from memory, and the hardware's own
        // prefetch stops at every page: ask for it a kilobyte ahead.
        _mm_prefetch(reinterpret_cast<const char *>(prev + done) + 1024, _MM_HINT_T0);
        if constexpr (narrow<Cell>) {
            all = _mm512_or_si512(all, v);
            const __m256i v32 = _mm512_cvtepi64_epi32(v);
            const __m256i was = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(prev + done));
            below = _mm256_or_si256(below, _mm256_xor_si256(_mm256_max_epu32(v32, was), v32));
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + done), v32);
        } else {
            fell |= _mm512_cmplt_epi64_mask(v, _mm512_loadu_si512(prev + done));
            _mm512_storeu_si512(out + done, v);
        }
        total = _mm512_add_epi64(total, v);
    }
    sum = sat_add(sum, _mm512_reduce_add_epi64(total));
    down |= fell != 0 || !_mm256_testz_si256(below, below);
    if (_mm512_test_epi64_mask(all, wide)) fits = false;
    return done;
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#endif

// How many kernel fields this processor converts at once.
int widest() {
#if defined(KEVRANE_X86)
    __builtin_cpu_init(); // this runs among the static constructors
    if (__builtin_cpu_supports("avx512bw"))
        return __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vl") ? 8 : 4;
    if (__builtin_cpu_supports("avx2")) return 2;
#endif
    return 1;
}

} // namespace

int fieldwidth = widest();

namespace {

// The fields of one line in the order the sampler takes them: the first
// after a label glued to it, each other after a run of blanks.
struct field_walk {
    const char *p;
    const char *glued;

    explicit field_walk(const char *line) : p(skip_blanks(line)), glued(glued_count(p)) {}

    // To the blank before the next field; false when the line has none.
    bool to_blank() {
        while (*p && *p != ' ')
            ++p;
        return *p != 0;
    }
    // Reads the field at p. p moves past its digits when nothing there could
    // hide a blank that the search for the next field must still find.
    std::int64_t value() {
        const char *end;
        const std::int64_t v = parse_count(p, &end);
        if (!is_space(*p)) p = end;
        return v;
    }
};

// Stores the counts of a line that feeds one row of `cols` columns, taking
// the previous sample's numbers for the columns it does not give; `down` is
// set when a count is below the previous sample's, and `given` says how many
// it gave. Returns how far into the line the last columns came, all of them
// in the kernel's format and with no line end before them; 0 when they did
// not. Into 32-bit cells, a count that does not fit them clears `fits` and
// ends the store there, the line half stored.
template <class Cell>
std::size_t store(const char *line, Cell *counts, const Cell *before, std::int64_t &total,
                  bool &down, bool &fits, int cols = numcpus, int *given = nullptr) {
    field_walk w(line);
    std::int64_t sum = 0;
    int j = 0;
    const char *run = nullptr; // where the fields read last began
    const char *end = nullptr; // past the last field, when kernel fields ended the columns
    auto put = [&](std::int64_t v) {
        if constexpr (narrow<Cell>)
            if (!fits_cell(v)) return fits = false;
        down |= v < before[j];
        counts[j] = static_cast<Cell>(v);
        sum = sat_add(sum, v);
        ++j;
        return true;
    };
    if (w.glued && cols > 0) {
        w.p = w.glued;
        if (!put(w.value())) return 0;
    }
    while (j < cols && w.to_blank()) {
        const char *g = w.p + 1;
        run = g;
        std::int64_t v;
#if defined(KEVRANE_X86)
        if (fieldwidth >= 8) {
            int k = kernel_octets_vbmi(g, cols - j, counts + j, before + j, sum, down, fits);
            if (!fits) return 0;
            j += k;
            g += k * kfield;
        }
        if (fieldwidth >= 4) {
            int k = kernel_quads_avx512(g, cols - j, counts + j, before + j, sum, down);
            j += k;
            g += k * kfield;
        }
        if (fieldwidth >= 2) {
            int k = kernel_pairs_avx2(g, cols - j, counts + j, before + j, sum, down);
            j += k;
            g += k * kfield;
        }
#endif
        while (j < cols && kernel_field(g, v)) {
            if (!put(v)) return 0;
            g += kfield;
        }
        if (j == cols) {
            end = g;
            break;
        }
        w.p = skip_blanks(g - 1);
        if (!put(w.value())) return 0;
    }
    if (given) *given = j;
    for (; j < cols; ++j) {
        counts[j] = before[j];
        sum = sat_add(sum, before[j]);
    }
    total = sum;
    if (!end || std::memchr(line, '\n', run - line)) return 0;
    return end - line;
}

// The same when this pass's header lists other CPUs than the columns: field i
// belongs to the column of the CPU that label i names, if any. The line is
// read as any other, fast where its fields are the kernel's, in the header's
// order; the columns then take what it gave.
template <class Cell>
void store_mapped(const char *line, Cell *counts, const Cell *before, std::int64_t &total,
                  const std::vector<int> &colmap, bool &down, bool &fits) {
    // The fields in the header's order, read against no previous sample: the
    // columns' own are compared below.
    static std::vector<std::int64_t> got, none;
    static std::vector<char> fed;
    const int n = static_cast<int>(colmap.size());
    got.resize(n);
    none.resize(n);
    int given = 0;
    std::int64_t sum = 0;
    bool fell = false, wide = true;
    store(line, got.data(), none.data(), sum, fell, wide, n, &given);
    fed.assign(numcpus, 0);
    for (int i = 0; i < given; ++i) {
        const std::int64_t v = got[i];
        const int c = colmap[i];
        if (c < 0) continue;
        if constexpr (narrow<Cell>)
            if (!fits_cell(v)) {
                fits = false;
                return;
            }
        counts[c] = static_cast<Cell>(v);
        fed[c] = 1;
    }
    // Summed by column: a header that names a CPU twice feeds its column twice,
    // and the total is still the sum of what the columns show.
    sum = 0;
    for (int c = 0; c < numcpus; ++c) {
        if (!fed[c]) counts[c] = before[c];
        down |= counts[c] < before[c];
        sum = sat_add(sum, counts[c]);
    }
    total = sum;
}

} // namespace

// Reads a field as strtol does in base 10 on a 64-bit long (strtoll): leading
// blanks, a sign, digits; no digits gives 0 and a value past the range gives
// the nearest limit. On 32-bit machines long would stop at 2^31 - 1.
std::int64_t parse_count(const char *field, const char **end) {
    const char *p = field;
    while (is_space(*p))
        ++p;
    const bool neg = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    if (*p < '0' || *p > '9') {
        *end = field;
        return 0;
    }
    constexpr std::uint64_t top = std::numeric_limits<std::int64_t>::max();
    const std::uint64_t limit = neg ? top + 1 : top;
    std::uint64_t v = 0;
    bool over = false;
    for (; *p >= '0' && *p <= '9'; ++p) {
        const unsigned d = *p - '0';
        if (v > (limit - d) / 10)
            over = true;
        else
            v = v * 10 + d;
    }
    *end = p;
    if (over) v = limit;
    return neg ? static_cast<std::int64_t>(0 - v) : static_cast<std::int64_t>(v);
}

// A line takes the previous sample's numbers for the columns it does not give
// (a CPU gone offline, a line that changed under us), so they show no change
// rather than stale or vanished counts. Returns how far into the line its
// counts are known to come, with no line end before that: as far as the last
// of a run of kernel fields that ends the columns, or 0.
std::size_t store_line(const char *line, std::int64_t *counts, const std::int64_t *before,
                       std::int64_t &total, const std::vector<int> *colmap, bool &down) {
    bool fits = true;
    if (!colmap) return store(line, counts, before, total, down, fits);
    store_mapped(line, counts, before, total, *colmap, down, fits);
    return 0;
}

// The same into 32-bit cells; `fits` is cleared, the line half stored, when a
// count does not fit them (no kernel prints one).
std::size_t store_line(const char *line, std::uint32_t *counts, const std::uint32_t *before,
                       std::int64_t &total, const std::vector<int> *colmap, bool &down,
                       bool &fits) {
    if (!colmap) return store(line, counts, before, total, down, fits);
    store_mapped(line, counts, before, total, *colmap, down, fits);
    return 0;
}

} // namespace kevrane
