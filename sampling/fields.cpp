// Reading the counts out of one line of the table. The fields after the label
// are taken in order, each starting after a run of blanks and read as strtol
// reads it. Kernel tables print every count as "%10u ", so runs of such
// 11-character fields are checked and converted a whole field at a time; any
// other text takes the general path, with the same results.

#include "kevrane.h"

#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kevrane {

namespace {

constexpr int kfield = 11; // "%10u ": ten columns and the separating blank

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

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
[[gnu::always_inline]] inline bool kernel_field(const char *g, std::int64_t &value) {
#if defined(__SSE2__)
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(g));
    const unsigned sp =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, _mm_set1_epi8(' '))));
    const unsigned dg = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(
        _mm_cmpgt_epi8(x, _mm_set1_epi8('0' - 1)), _mm_cmplt_epi8(x, _mm_set1_epi8('9' + 1)))));
#else
    unsigned sp = 0, dg = 0;
    for (int i = 0; i < kfield; ++i) {
        sp |= static_cast<unsigned>(g[i] == ' ') << i;
        dg |= static_cast<unsigned>(g[i] >= '0' && g[i] <= '9') << i;
        if (!g[i])
            break;
    }
#endif
    const unsigned d = dg & 0x3FF;
    // Digits run without a gap to the tenth column, blanks fill the rest.
    if (d == 0 || d + (d & -d) != 0x400 || (sp & 0x7FF) != (0x400 | (0x3FF ^ d)))
        return false;
    std::uint64_t low;
    std::memcpy(&low, g + 2, 8);
    // Blanks (0x20) keep no low bits: they read as leading zeros.
    low &= 0x0F0F0F0F0F0F0F0F;
    const std::int64_t high = (g[0] & 0x0F) * 10 + (g[1] & 0x0F);
    value = high * 100000000 + static_cast<std::int64_t>(eight_digits(low));
    return true;
}

template <bool add>
void store(const char *line, std::int64_t *counts, std::int64_t &total) {
    const char *p = skip_blanks(line);
    const char *glued = glued_count(p);
    std::int64_t sum = add ? total : 0;
    int j = 0;
    auto put = [&](std::int64_t v) {
        counts[j] = add ? sat_add(counts[j], v) : v;
        sum = sat_add(sum, v);
        ++j;
    };
    // Reads the field at p; p moves past its digits when nothing there could
    // hide a blank that the search for the next field must still find.
    auto general = [&]() {
        const char *end;
        put(parse_count(p, &end));
        if (!is_space(*p))
            p = end;
    };
    if (glued && numcpus > 0) {
        p = glued;
        general();
    }
    while (j < numcpus) {
        while (*p && *p != ' ')
            ++p;
        if (!*p)
            break;
        const char *g = p + 1;
        std::int64_t v;
        while (j < numcpus && kernel_field(g, v)) {
            put(v);
            g += kfield;
        }
        if (j == numcpus)
            break;
        p = skip_blanks(g - 1);
        general();
    }
    total = sum;
    if (!add)
        std::memset(counts + j, 0, sizeof *counts * (numcpus - j));
}

} // namespace

// Reads a field as strtol does in base 10: leading blanks, a sign, digits;
// no digits gives 0 and a value past the range gives the nearest limit.
std::int64_t parse_count(const char *field, const char **end) {
    const char *p = field;
    while (is_space(*p))
        ++p;
    const bool neg = *p == '-';
    if (*p == '-' || *p == '+')
        ++p;
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
    if (over)
        v = limit;
    return neg ? static_cast<std::int64_t>(0 - v) : static_cast<std::int64_t>(v);
}

// A line that starts its row clears the columns it does not give, so a row
// whose line changed under us never keeps adding stale numbers.
void store_line(const char *line, std::int64_t *counts, std::int64_t &total, bool add) {
    if (add)
        store<true>(line, counts, total);
    else
        store<false>(line, counts, total);
}

} // namespace kevrane
