// The three sample slots and the sampler. Slots 0 and 1 take turns as the
// newest sample, slot 2 is the baseline taken at start-up; a display mode is
// the newest slot minus the one it chooses as its reference.

#include "kevrane.h"

#include <algorithm>
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

// The sample taken just before one into this slot: the other of 0 and 1, or
// for the baseline the first start-up sample.
int previous_slot(int slot) {
    return slot == 2 ? 1 : slot ^ 1;
}

// Where each CPU of this pass's header stands among the start-up columns, or
// nullptr while the header is the start-up one. CPUs go offline and come
// back: their counts must stay under their own heads.
const std::vector<int> *column_map(const char *header) {
    static std::vector<long> cpus;
    static std::vector<int> colmap;
    header_cpus(header, cpus);
    if (cpus == cpunum) return nullptr;
    colmap.assign(cpus.size(), -1);
    for (std::size_t i = 0; i < cpus.size(); ++i) {
        auto at = std::find(cpunum.begin(), cpunum.end(), cpus[i]);
        if (at != cpunum.end()) colmap[i] = static_cast<int>(at - cpunum.begin());
    }
    return &colmap;
}

void read_input(int slot) {
    static std::vector<char> fed;
    const std::vector<int> *colmap = nullptr;
    const int before = previous_slot(slot);
    read_input_active = 1;
    show_mark();
    rewind_table();
    fed.assign(numirqs, 0);
    // A row's line is searched for its end only past where the line before
    // had its counts: kernel lines put their counts in the same columns, and
    // reading the counts shows whether this line did too. A line that did
    // not is taken again whole; a merged row's line, which adds, always is.
    std::size_t skip = 0;
    // One look at the keyboard as the pass starts, then one whenever a
    // millisecond has gone by: a key typed during a long pass is still
    // answered within that, at a fraction of the cost of a look per line.
    std::int64_t looked = monotonic_ns();
    get_input();
    for (int index = 0;; ++index) {
        if (const std::int64_t now = monotonic_ns(); now - looked >= key_look_ns) {
            looked = now;
            get_input();
        }
        const line_row m = index ? map_line(index) : line_row{-1, false};
        bool guessed = false;
        char *line =
            skip && m.row >= 0 && !m.add && !colmap ? read_line_from(skip, guessed) : read_line();
        if (!line) break;
        if (index == 0) {
            colmap = column_map(line);
            continue;
        }
        if (m.row < 0) continue;
        auto store = [&] {
            return store_line(line, row_counts(slot, m.row), row_counts(before, m.row),
                              irqtotals[slot][m.row], m.add, colmap);
        };
        const std::size_t proven = store();
        if (guessed && proven < skip) {
            line = reread_line();
            skip = store();
        } else
            skip = proven;
        fed[m.row] = 1;
    }
    // A row whose line is gone from the table had no news: it keeps the
    // previous sample's numbers rather than this slot's older ones.
    for (int r = 0; r < numirqs; ++r)
        if (!fed[r]) {
            std::copy_n(row_counts(before, r), numcpus, row_counts(slot, r));
            irqtotals[slot][r] = irqtotals[before][r];
        }
    clear_mark();
    read_input_active = 0;
}

} // namespace kevrane
