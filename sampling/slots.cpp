// The three sample slots and the sampler. Slots 0 and 1 take turns as the
// newest sample, slot 2 is the baseline taken at start-up; a display mode is
// the newest slot minus the one it chooses as its reference.

#include "kevrane.h"

#include <cstdlib>

namespace kevrane {

std::array<std::vector<std::int64_t>, 3> irqcounts;
std::array<std::vector<std::int64_t>, 3> irqtotals;
int read_input_active;

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
    rewind_table();
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
