// The three sample slots and the sampler. Slots 0 and 1 take turns as the
// newest sample, slot 2 is the baseline taken at start-up; a display mode is
// the newest slot minus the one it chooses as its reference.

#include "kevrane.h"

#include <cstdlib>

namespace kevrane {

std::array<std::vector<std::int64_t>, 3> irqcounts;
std::array<std::vector<std::int64_t>, 3> irqtotals;
int read_input_active;

namespace {

bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Fills the columns of one line into its row. A line that starts its row
// clears the columns it does not give, so a row whose line changed under us
// never keeps adding stale numbers.
void store_line(const char *line, std::int64_t *counts, std::int64_t &total, bool add) {
    const char *p = skip_blanks(line);
    const char *glued = glued_count(p);
    int j = 0;
    if (!add) total = 0;
    for (; j < numcpus; ++j) {
        if (j == 0 && glued) {
            p = glued;
        } else {
            while (*p && *p != ' ')
                ++p;
            if (!*p) break;
            p = skip_blanks(p);
        }
        const char *end;
        std::int64_t v = parse_count(p, &end);
        // A field that began with other blanks may hide a space that the
        // next search must still find.
        if (!is_space(*p)) p = end;
        counts[j] = add ? sat_add(counts[j], v) : v;
        total = sat_add(total, v);
    }
    if (!add)
        for (; j < numcpus; ++j)
            counts[j] = 0;
}

} // namespace

// Reads a field as strtol does in base 10: leading blanks, a sign, digits;
// no digits gives 0 and a value past the range gives the nearest limit.
std::int64_t parse_count(const char *field, const char **end) {
    const char *p = field;
    while (is_space(*p))
        ++p;
    bool neg = *p == '-';
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
        unsigned d = *p - '0';
        if (v > (limit - d) / 10)
            over = true;
        else
            v = v * 10 + d;
    }
    *end = p;
    if (over) v = limit;
    return neg ? static_cast<std::int64_t>(0 - v) : static_cast<std::int64_t>(v);
}

int getix(int selector) {
    static int ix_inc = 1;
    switch (selector) {
    case 0: return ix_inc ^= 1;
    case 1: return ix_inc;
    case 2: return mode == 1 ? ix_inc ^ 1 : mode == 0 ? 2 : -1;
    case 3: return 1;
    case 4: return 2;
    }
    std::abort();
}

void read_input(int slot) {
    read_input_active = 1;
    show_mark();
    std::rewind(fdinp);
    int index = -1;
    for (;;) {
        get_input();
        const char *line = read_line();
        if (!line) break;
        if (++index == 0) continue;
        line_row m = map_line(index);
        if (m.row < 0) continue;
        store_line(line, row_counts(slot, m.row), irqtotals[slot][m.row], m.add);
    }
    clear_mark();
    read_input_active = 0;
}

} // namespace kevrane
