// The sampler: a pass over the table into one of the three sample slots.
// Slots 0 and 1 take turns as the newest sample, slot 2 is the baseline
// taken at start-up; a display mode is the newest slot minus the one it
// chooses as its reference. A pass reads each line into its row (or its
// merged row's line), finds the counts that went down and the columns a row
// counts on for the first time, keeps each row's time, sums merged rows and
// gives what is new in the pass its first sample; the row store keeps the
// numbers.

#include "cells.h"
#include "kevrane.h"

#include <algorithm>
#include <cstdlib>

namespace kevrane {

std::array<std::vector<std::int64_t>, 3> rowtime;
int read_input_active;

namespace {

int newest = -1;                // the slot the last pass filled
std::int64_t looked;            // when the pass under way last looked at the keyboard
bool looking = true;            // keys are looked for: not in the start-up scan
std::vector<char> fresh;        // CPU columns that came with this pass's header
std::vector<char> read_members; // the merged rows' lines this pass has read
// A line as read, over every column; and the sample before it over every
// column, 0 where its row has no cell, which is all 0 again between lines.
std::vector<std::uint32_t> line32, prev32;
std::vector<std::int64_t> line64, prev64;
std::vector<std::int64_t> cellbuf; // a merged row's line in its row's cells

// A row whose counts went down counts on from where they were, but in the
// columns new in this pass, which count from their first sample.
template <class Cell> void count_downs(int slot, int row, const Cell *now, const Cell *was) {
    for (int k = 0, n = cells_of(row); k < n; ++k)
        if (now[k] < was[k] && !fresh[col_of(row, k)]) count_fall(slot, row, k, was[k], now[k]);
}

// Copies a row's counts, total and time from one slot to another.
void copy_row(int from, int to, int row) {
    copy_cells(from, to, row);
    rowtime[to][row] = rowtime[from][row];
}

// Copies a whole sample, what wraps and restarts added to it included.
void copy_sample(int from, int to) {
    for (int r = 0; r < numirqs; ++r)
        copy_row(from, to, r);
    copy_adjustments(from, to);
}

// CPUs the header names that have no column yet get one, in CPU-number
// order; every row's cells move to the new places. A new column counts from
// its first sample, like everything else.
void add_columns(const std::vector<long> &cpus) {
    std::vector<long> grown = cpunum;
    for (long cpu : cpus)
        if (std::find(grown.begin(), grown.end(), cpu) == grown.end() &&
            room_for_columns(grown.size() + 1 - cpunum.size()))
            grown.insert(std::find_if(grown.begin(), grown.end(), [&](long c) { return c > cpu; }),
                         cpu);
    if (grown.size() == cpunum.size()) return;
    const int was = numcpus, now = static_cast<int>(grown.size());
    std::vector<int> place(was); // old column -> new column
    for (int c = 0, n = 0; c < was; ++c, ++n) {
        while (grown[n] != cpunum[c])
            ++n;
        place[c] = n;
    }
    fresh.assign(now, 1);
    for (int c : place)
        fresh[c] = 0;
    move_columns(place, now);
    cpunum.swap(grown);
    numcpus = now;
    relayout = 1;
}

// Where each CPU of this pass's header stands among the columns, or nullptr
// while the header lists the columns' CPUs in order. CPUs go offline and come
// back: their counts must stay under their own heads. While a CPU stays
// offline every pass brings the same header: the map made for it holds as
// long as the columns are the same and none could be added, and making it
// again would cost a large machine a search per CPU per pass.
const std::vector<int> *column_map(const char *header) {
    static std::vector<long> cpus, mapped, columns; // the header and columns the map is for
    static std::vector<int> colmap;
    static bool whole; // every CPU of that header has a column
    header_cpus(header, cpus);
    if (cpus == cpunum) return nullptr;
    if (cpus == mapped && cpunum == columns && (whole || !room_for_columns(1))) return &colmap;
    add_columns(cpus);
    if (cpus == cpunum) return nullptr;
    colmap.assign(cpus.size(), -1);
    for (std::size_t i = 0; i < cpus.size(); ++i) {
        auto at = std::find(cpunum.begin(), cpunum.end(), cpus[i]);
        if (at != cpunum.end()) colmap[i] = static_cast<int>(at - cpunum.begin());
    }
    mapped = cpus;
    columns = cpunum;
    whole = std::find(colmap.begin(), colmap.end(), -1) == colmap.end();
    return &colmap;
}

// Room for `rows` rows in every slot, each with no cells yet.
void room_for_rows(std::size_t rows) {
    store_rows(rows);
    for (auto &t : rowtime)
        if (t.size() < rows) t.resize(rows);
}

// The rows this pass added are the screen's from now on.
void commit_rows() {
    room_for_rows(static_cast<std::size_t>(numirqs) + newrows);
    numirqs += newrows;
    newrows = 0;
    relayout = 1;
}

// A merged row's time moves on by the mean of the times its lines moved
// on since they were read before, over the lines whose counts moved the row:
// those read in this pass that were counted before. So its interval covers
// the same lines as its counts do while lines come and go. A row with no such
// line has the mean of the times its lines were read in this pass, taken
// from the earliest so that it neither overflows nor depends on their
// order; a row none of whose lines this pass read has the numbers of the
// sample before, and its time.
void mean_times(int slot, int before) {
    if (members.empty()) return;
    struct span {
        std::int64_t least, sum, lines, steps, stepsum;
    };
    static std::vector<span> spans;
    spans.assign(numirqs, {0, 0, 0, 0, 0});
    for (std::size_t i = 0; i < members.size(); ++i)
        if (read_members[i]) {
            span &s = spans[members[i].row];
            s.least = s.lines++ ? std::min(s.least, members[i].time) : members[i].time;
            if (members[i].step >= 0) ++s.steps, s.stepsum += members[i].step;
        }
    for (std::size_t i = 0; i < members.size(); ++i)
        if (read_members[i])
            spans[members[i].row].sum += members[i].time - spans[members[i].row].least;
    for (const auto &m : members) {
        const span &s = spans[m.row];
        rowtime[slot][m.row] = s.steps   ? rowtime[before][m.row] + s.stepsum / s.steps
                               : s.lines ? s.least + s.sum / s.lines
                                         : rowtime[before][m.row];
    }
}

// A merged row is the sum of its lines' latest counts, in the order the lines
// were first met. A line new to an existing row counts from its first sample:
// what it brought along is taken off again.
void sum_members(int slot, int before, int oldrows, std::size_t oldmembers,
                 std::vector<char> &fed) {
    for (const auto &m : members) {
        std::fill_n(widen(slot, m.row), cells_of(m.row), 0);
        irqtotals[slot][m.row] = 0;
        if (m.row < oldrows) fed[m.row] = 1;
    }
    read_members.resize(members.size());
    mean_times(slot, before);
    for (std::size_t i = 0; i < members.size(); ++i) {
        const member_line &m = members[i];
        const std::vector<std::int64_t> &counts = line_counts(static_cast<int>(i));
        std::int64_t *row = wide_counts(slot, m.row);
        const int n = cells_of(m.row);
        for (int k = 0; k < n; ++k)
            row[k] = sat_add(row[k], counts[k]);
        irqtotals[slot][m.row] = sat_add(irqtotals[slot][m.row], m.total);
        if (i >= oldmembers && m.row < oldrows)
            for (int k = 0; k < n; ++k)
                if (!fresh[col_of(m.row, k)] && counts[k])
                    adjust(slot, m.row, k, sat_sub(0, counts[k]));
    }
}

// Copies the first sample of what is new in this pass, rows and columns, to
// the other slots.
void first_samples(int slot, int oldrows) {
    for (int o = 0; o < 3; ++o) {
        if (o == slot) continue;
        for (int r = oldrows; r < numirqs; ++r)
            copy_row(slot, o, r);
        for (int c = 0; c < numcpus; ++c)
            if (fresh[c])
                for (int r = 0; r < oldrows; ++r) {
                    const std::int64_t v = count_at(slot, r, c);
                    set_count(o, r, c, v);
                    irqtotals[o][r] = sat_add(irqtotals[o][r], v);
                }
    }
}

// What the pass under way reads into and counts on from.
struct {
    int slot;                       // the slot it fills
    int before;                     // the slot holding the sample before it
    bool counting;                  // there is a sample before it to count on from
    int oldrows;                    // rows with slots as it began; those after are staged
    std::size_t oldmembers;         // merged rows' lines as it began
    const std::vector<int> *colmap; // its header's CPUs among the columns, or nullptr
} pass;
std::vector<char> fed; // rows whose line this pass has read

void start_pass(int slot) {
    pass = {slot, previous_slot(slot), newest >= 0, numirqs, members.size(), nullptr};
    read_input_active = 1;
    if (looking) show_mark();
    rewind_table();
    begin_pass();
    fed.assign(numirqs, 0);
    read_members.assign(members.size(), 0);
    fresh.assign(numcpus, 0);
    copy_adjustments(pass.before, slot);
    // One look at the keyboard as the pass starts, then one whenever a
    // millisecond has gone by.
    if (looking) get_input();
    looked = monotonic_ns();
}

// A line of a merged row keeps its own latest counts; the row is summed
// from them as the pass ends.
void read_member(int member, const char *line) {
    member_line &mb = members[member];
    const int row = mb.row;
    room_for_rows(static_cast<std::size_t>(row) + 1);
    std::vector<std::int64_t> &was = line_counts(member);
    std::int64_t total = 0;
    bool down = false;
    store_line(line, line64.data(), spread_out(row, was.data(), prev64), total, pass.colmap, down);
    clear_out(row, prev64);
    grow_cells(row, line64.data());
    cellbuf.resize(cells_of(row));
    gather(row, line64.data(), cellbuf.data());
    if (down && pass.counting && static_cast<std::size_t>(member) < pass.oldmembers &&
        row < pass.oldrows)
        count_downs(pass.slot, row, cellbuf.data(), was.data());
    was.swap(cellbuf);
    mb.total = total;
    const bool counted = pass.counting && static_cast<std::size_t>(member) < pass.oldmembers;
    mb.step = counted ? linetime - mb.time : -1;
    mb.time = linetime;
    if (read_members.size() <= static_cast<std::size_t>(member)) read_members.resize(member + 1);
    read_members[member] = 1;
}

// A line into cells of either width, with this pass's map to the columns.
std::size_t store_into(const char *line, std::uint32_t *counts, const std::uint32_t *before,
                       std::int64_t &total, bool &down, bool &fits) {
    return store_line(line, counts, before, total, pass.colmap, down, fits);
}

std::size_t store_into(const char *line, std::int64_t *counts, const std::int64_t *before,
                       std::int64_t &total, bool &down, bool &) {
    return store_line(line, counts, before, total, pass.colmap, down);
}

template <class Cell> Cell *cells(int slot, int row) {
    if constexpr (sizeof(Cell) == 4)
        return row_counts(slot, row);
    else
        return wide_counts(slot, row);
}

// Stores a row's line in its cells: straight into them for a dense row;
// otherwise read over every column first, against the sample before spread
// out there, then taken into the cells, a column the line counts on for the
// first time made one of them. A line that counts nowhere else needs no
// look at the rest: counts that are 0 or more sum to its total in the cells.
template <class Cell>
std::size_t store_cells(int row, const char *line, std::vector<Cell> &got, std::vector<Cell> &prev,
                        bool &down, bool &fits) {
    const int slot = pass.slot;
    std::int64_t &total = irqtotals[slot][row];
    if (keeps_every_column(row))
        return store_into(line, cells<Cell>(slot, row), cells<Cell>(pass.before, row), total, down,
                          fits);
    const std::size_t proven = store_into(
        line, got.data(), spread_out(row, cells<Cell>(pass.before, row), prev), total, down, fits);
    clear_out(row, prev);
    if (!fits) return 0;
    bool elsewhere = true; // the line may count where the row has no cell
    if constexpr (sizeof(Cell) == 4) elsewhere = sum_in_cells(row, got.data()) != total;
    if (elsewhere) grow_cells(row, got.data());
    gather(row, got.data(), cells<Cell>(slot, row));
    return proven;
}

// Stores a row's line: into its 32-bit cells, or into 64-bit ones for a row
// that needs them. A row new in this pass counts from nothing. Returns what
// store_line does.
std::size_t store_row(int row, const char *line, bool &down) {
    const int slot = pass.slot;
    down = false;
    if (row >= pass.oldrows) {
        room_for_rows(static_cast<std::size_t>(row) + 1);
        rowtime[slot][row] = linetime;
    }
    bool fits = true;
    if (!wide_counts(slot, row)) {
        const std::size_t proven = store_cells(row, line, line32, prev32, down, fits);
        if (fits) return proven;
        widen(slot, row);
        down = false;
        fits = true;
    }
    return store_cells(row, line, line64, prev64, down, fits);
}

// A row whose counts went down counts on from where they were.
void count_row_downs(int row) {
    if (const std::int64_t *w = wide_counts(pass.slot, row))
        count_downs(pass.slot, row, w, wide_counts(pass.before, row));
    else
        count_downs(pass.slot, row, row_counts(pass.slot, row), row_counts(pass.before, row));
}

// What is left once the table is read: new rows get their slots, merged rows
// their sums, rows whose lines are gone the previous sample's numbers, and
// the other slots the first sample of what is new.
void end_pass(int lines) {
    const int slot = pass.slot, oldrows = pass.oldrows;
    trim_map(lines);
    if (newrows) commit_rows();
    sum_members(slot, pass.before, oldrows, pass.oldmembers, fed);
    // A row whose line is gone from the table had no news: it keeps the
    // previous sample's numbers rather than this slot's older ones.
    for (int r = 0; r < oldrows; ++r)
        if (!fed[r]) {
            copy_row(pass.before, slot, r);
            look_when_due();
        }
    first_samples(slot, oldrows);
    // The first sample is the baseline too: it exists the moment the first
    // sample does, and counts since start count from that read.
    if (!pass.counting && slot != 2) copy_sample(slot, 2);
    newest = slot;
    if (looking) clear_mark();
    read_input_active = 0;
}

} // namespace

void alloc_slots() {
    reset_store();
    for (auto &t : rowtime)
        t.assign(numirqs, 0);
    newest = -1;
    pause_moves = look_when_due;
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

// The slot holding the sample taken just before one into this slot: the slot
// the last pass filled.
int previous_slot(int slot) {
    if (newest >= 0 && newest != slot) return newest;
    return slot == 2 ? 1 : slot ^ 1;
}

// A look at the keyboard whenever a millisecond has gone by since the last:
// a key typed during a long pass, or while a change moves every count, is
// still answered within that, at a fraction of the cost of a look per line.
void look_when_due() {
    if (!looking) return;
    if (const std::int64_t now = monotonic_ns(); now - looked >= key_look_ns) {
        looked = now;
        get_input();
    }
}

// The start-up scan, which is the first sample too: every line is new, the
// header gives the columns, and nothing is shown, since the terminal is not
// set up yet. What it finds bounds what the table may grow to.
void scan_sample(int slot) {
    looking = false;
    grow_twofold(true);
    read_input(slot);
    grow_twofold(false);
    looking = true;
    bound_growth();
}

void read_input(int slot) {
    start_pass(slot);
    // A row's line is searched for its end only past where the line before
    // had its counts: kernel lines put their counts in the same columns, and
    // reading the counts shows whether this line did too. A line that did
    // not is taken again whole, and so is one that turns out to be a merged
    // row's or to stand where the map did not expect it.
    std::size_t skip = 0;
    // Lines are mapped by index while each carries the label the map has for
    // its index; from the first that does not, by label.
    bool moved = false;
    int index = 0;
    for (;; ++index) {
        look_when_due();
        line_row m = index && !moved ? map_line(index) : line_row{-1, -1};
        bool guessed = false;
        char *line = skip && m.row >= 0 && m.member < 0 && !pass.colmap
                         ? read_line_from(skip, guessed)
                         : read_line();
        if (!line) break;
        if (index == 0) {
            if (looking)
                pass.colmap = column_map(line);
            else { // the start-up scan: the header gives the columns
                header_cpus(line, cpunum);
                numcpus = static_cast<int>(cpunum.size());
                fresh.assign(numcpus, 0);
            }
            numfields = pass.colmap ? static_cast<int>(pass.colmap->size()) : numcpus;
            line32.resize(numcpus);
            line64.resize(numcpus);
            prev32.assign(numcpus, 0);
            prev64.assign(numcpus, 0);
            continue;
        }
        const std::string_view label = line_label(line);
        if (moved || m.row < 0 || irqlabels[index] != label) {
            if (!moved) count_labels_before(index);
            moved = true;
            if (guessed) line = reread_line(), guessed = false;
            m = find_line(label, line, index);
        }
        if (m.row < 0) continue;
        if (m.member >= 0) {
            read_member(m.member, line);
            continue;
        }
        bool down = false;
        const std::size_t proven = store_row(m.row, line, down);
        if (guessed && proven < skip) {
            line = reread_line();
            skip = store_row(m.row, line, down);
        } else
            skip = proven;
        if (m.row < pass.oldrows) {
            if (down && pass.counting) count_row_downs(m.row);
            fed[m.row] = 1;
            rowtime[pass.slot][m.row] = linetime;
        }
    }
    end_pass(index);
    // A prompt or help opened during the pass waits for its answer now that
    // the sample is whole.
    if (looking) finish_prompt();
}

} // namespace kevrane
