// The three sample slots and the sampler. Slots 0 and 1 take turns as the
// newest sample, slot 2 is the baseline taken at start-up; a display mode is
// the newest slot minus the one it chooses as its reference. The slots hold
// the counts as the kernel prints them, in 32 bits as it does; what wraps and
// restarts added on top is kept beside them, for the few rows whose counts
// ever went down, and so are the counts of the few rows that need 64 bits.

#include "kevrane.h"

#include <algorithm>
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

namespace kevrane {

std::array<std::vector<std::uint32_t>, 3> irqcounts;
std::array<std::vector<std::int64_t>, 3> irqtotals;
std::vector<std::vector<std::int64_t>> irqwide;
std::vector<std::vector<std::int64_t>> irqadjust;
std::array<std::vector<std::int64_t>, 3> rowtime;
int read_input_active;

namespace {

int newest = -1;                   // the slot the last pass filled
std::int64_t looked;               // when the pass under way last looked at the keyboard
bool looking = true;               // keys are looked for: not in the start-up scan
std::vector<int> adjusted;         // rows with an irqadjust block
std::vector<int> widened;          // rows with an irqwide block
std::vector<char> fresh;           // CPU columns that came with this pass's header
std::vector<std::int64_t> scratch; // a merged row's line as read
std::vector<char> read_members;    // the merged rows' lines this pass has read

// A large machine's slots are tens of megabytes, first touched at start-up
// or when the table grows. Where the kernel gives huge pages on request, that
// first touch costs a fault per huge page rather than one per page.
template <class T> void huge_pages(std::vector<T> &v) {
#ifdef MADV_HUGEPAGE
    static const std::uintptr_t page = sysconf(_SC_PAGESIZE);
    const auto from = reinterpret_cast<std::uintptr_t>(v.data());
    const auto to = reinterpret_cast<std::uintptr_t>(v.data() + v.capacity());
    const std::uintptr_t b = (from + page - 1) & ~(page - 1), e = to & ~(page - 1);
    if (e - b >= (std::uintptr_t{2} << 20))
        madvise(reinterpret_cast<void *>(b), e - b, MADV_HUGEPAGE);
#endif
}

// Room for `rows` rows of `cols` numbers and a little more, so that rows that
// come pass after pass do not copy a large machine's slots each time; in the
// start-up scan, whose rows all come in one pass, twice the room there was.
// Room never used is never touched, and takes no memory. What is there is
// copied a slice at a time, with looks at the keyboard between.
template <class T> void make_room(std::vector<T> &v, std::size_t rows, std::size_t cols) {
    if (v.capacity() >= rows * cols) return;
    std::vector<T> grown;
    grown.reserve(std::max(rows + rows / 64 + 16, looking ? 0 : 2 * v.capacity() / cols) * cols);
    huge_pages(grown);
    constexpr std::size_t slice = 1 << 16;
    for (std::size_t at = 0; at < v.size(); at += slice) {
        grown.insert(grown.end(), v.begin() + at, v.begin() + std::min(v.size(), at + slice));
        look_when_due();
    }
    v.swap(grown);
}

std::int64_t *adjust_block(int slot, int row) {
    auto &a = irqadjust[row];
    if (a.empty()) {
        a.assign(3 * (static_cast<std::size_t>(numcpus) + 1), 0);
        adjusted.push_back(row);
    }
    return a.data() + slot * (static_cast<std::size_t>(numcpus) + 1);
}

void adjust(int slot, int row, int col, std::int64_t by) {
    std::int64_t *a = adjust_block(slot, row);
    a[col] = sat_add(a[col], by);
    a[numcpus] = sat_add(a[numcpus], by);
}

// A count of `row` in `col` went from `was` to `now`: the row counts on by
// what came in between.
void count_down(int slot, int row, int col, std::int64_t was, std::int64_t now) {
    adjust(slot, row, col, sat_add(sat_sub(was, now), step_down(was, now)));
}

template <class Cell> void count_downs(int slot, int row, const Cell *now, const Cell *was) {
    for (int c = 0; c < numcpus; ++c)
        if (now[c] < was[c] && !fresh[c]) count_down(slot, row, c, was[c], now[c]);
}

// A row's counts in 64 bits from now on: a merged row, whose sums may pass
// 2^32, or one that met a count no kernel prints. Each slot's part has a
// place more than there are columns, so that a row is never without one even
// when there are none.
std::int64_t *widen(int slot, int row) {
    auto &w = irqwide[row];
    if (w.empty()) {
        const std::size_t part = static_cast<std::size_t>(numcpus) + 1;
        w.assign(3 * part, 0);
        for (int s = 0; s < 3; ++s) // a row new in this pass has cells in its slot only
            if (irqcounts[s].size() >= (static_cast<std::size_t>(row) + 1) * numcpus)
                std::copy_n(row_counts(s, row), numcpus, w.data() + s * part);
        widened.push_back(row);
    }
    return wide_counts(slot, row);
}

// Copies a row's counts and total from one slot to another.
void copy_row(int from, int to, int row) {
    if (std::int64_t *w = wide_counts(from, row))
        std::copy_n(w, numcpus, wide_counts(to, row));
    else
        std::copy_n(row_counts(from, row), numcpus, row_counts(to, row));
    irqtotals[to][row] = irqtotals[from][row];
    rowtime[to][row] = rowtime[from][row];
}

// Copies a whole sample, what wraps and restarts added to it included.
void copy_sample(int from, int to) {
    for (int r = 0; r < numirqs; ++r)
        copy_row(from, to, r);
    const std::size_t w = static_cast<std::size_t>(numcpus) + 1;
    for (int r : adjusted)
        std::copy_n(irqadjust[r].data() + from * w, w, irqadjust[r].data() + to * w);
}

// CPUs the header names that have no column yet get one, in CPU-number
// order; every row's counts move to the new places. A new column counts from
// its first sample, like everything else.
void add_columns(const std::vector<long> &cpus) {
    std::vector<long> grown = cpunum;
    for (long cpu : cpus)
        if (std::find(grown.begin(), grown.end(), cpu) == grown.end() &&
            room_for(static_cast<std::size_t>(numirqs) + members.size(), grown.size() + 1))
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
    // Each row is copied run by run, the new columns 0: a large machine's
    // slots are tens of megabytes each.
    auto move = [&](auto &v, std::size_t rows, int from, int to) {
        std::remove_reference_t<decltype(v)> out;
        make_room(out, rows, to);
        for (std::size_t r = 0; r < rows; ++r) {
            const auto *row = v.data() + r * from;
            for (int n = 0, c = 0; n < now;) {
                int k = 0;
                while (n + k < now && fresh[n + k])
                    ++k;
                out.insert(out.end(), k, 0);
                n += k;
                for (k = 0; n + k < now && !fresh[n + k]; ++k) {
                }
                out.insert(out.end(), row + c, row + c + k);
                n += k;
                c += k;
            }
            // The place after the columns (an adjustment row's total) stays last.
            if (to == now + 1) out.push_back(row[was]);
            look_when_due();
        }
        v.swap(out);
    };
    for (auto &slot : irqcounts)
        move(slot, numirqs, was, now);
    for (int r : adjusted)
        move(irqadjust[r], 3, was + 1, now + 1);
    for (int r : widened)
        move(irqwide[r], 3, was + 1, now + 1);
    for (auto &m : members)
        move(m.counts, 1, was, now);
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
    if (cpus == mapped && cpunum == columns &&
        (whole || !room_for(static_cast<std::size_t>(numirqs) + members.size(), cpunum.size() + 1)))
        return &colmap;
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

// Room for `rows` rows in slot `slot`, and for their totals and times in
// every slot.
void room_for_rows(int slot, std::size_t rows) {
    auto &s = irqcounts[slot];
    if (s.size() < rows * numcpus) {
        make_room(s, rows, numcpus);
        s.resize(rows * numcpus);
    }
    if (irqtotals[0].size() >= rows) return;
    for (auto *v : {&irqtotals, &rowtime})
        for (auto &t : *v) {
            make_room(t, rows, 1);
            t.resize(rows);
        }
    irqadjust.resize(rows);
    irqwide.resize(rows);
}

// The rows this pass added are the screen's from now on. It stored them in
// place in its own slot; the other slots get room for them only now, each
// once: the start-up scan adds every row, and growing three slots at once
// would hold a large machine's slots and a copy of one.
void commit_rows() {
    for (int s = 0; s < 3; ++s)
        room_for_rows(s, static_cast<std::size_t>(numirqs) + newrows);
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
        std::fill_n(widen(slot, m.row), numcpus, 0);
        irqtotals[slot][m.row] = 0;
        if (m.row < oldrows) fed[m.row] = 1;
    }
    read_members.resize(members.size());
    mean_times(slot, before);
    for (std::size_t i = 0; i < members.size(); ++i) {
        const member_line &m = members[i];
        std::int64_t *row = wide_counts(slot, m.row);
        for (int c = 0; c < numcpus; ++c)
            row[c] = sat_add(row[c], m.counts[c]);
        irqtotals[slot][m.row] = sat_add(irqtotals[slot][m.row], m.total);
        if (i >= oldmembers && m.row < oldrows)
            for (int c = 0; c < numcpus; ++c)
                if (!fresh[c] && m.counts[c]) adjust(slot, m.row, c, sat_sub(0, m.counts[c]));
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
std::vector<char> fed;           // rows whose line this pass has read
std::vector<std::int64_t> zeros; // what a row new in this pass counts from
std::vector<std::uint32_t> narrow_zeros;

void start_pass(int slot) {
    pass = {slot, previous_slot(slot), newest >= 0, numirqs, members.size(), nullptr};
    read_input_active = 1;
    if (looking) show_mark();
    rewind_table();
    begin_pass();
    fed.assign(numirqs, 0);
    read_members.assign(members.size(), 0);
    fresh.assign(numcpus, 0);
    const std::size_t w = static_cast<std::size_t>(numcpus) + 1;
    for (int r : adjusted)
        std::copy_n(irqadjust[r].data() + pass.before * w, w, irqadjust[r].data() + slot * w);
    // One look at the keyboard as the pass starts, then one whenever a
    // millisecond has gone by.
    if (looking) get_input();
    looked = monotonic_ns();
}

// A line of a merged row keeps its own latest counts; the row is summed
// from them as the pass ends.
void read_member(int member, const char *line) {
    member_line &mb = members[member];
    scratch.resize(numcpus);
    std::int64_t total = 0;
    bool down = false;
    store_line(line, scratch.data(), mb.counts.data(), total, pass.colmap, down);
    if (down && pass.counting && static_cast<std::size_t>(member) < pass.oldmembers &&
        mb.row < pass.oldrows)
        count_downs(pass.slot, mb.row, scratch.data(), mb.counts.data());
    mb.counts.swap(scratch);
    mb.total = total;
    const bool counted = pass.counting && static_cast<std::size_t>(member) < pass.oldmembers;
    mb.step = counted ? linetime - mb.time : -1;
    mb.time = linetime;
    if (read_members.size() <= static_cast<std::size_t>(member)) read_members.resize(member + 1);
    read_members[member] = 1;
}

// Stores a row's line: into its 32-bit cells, or into 64-bit ones for a row
// that needs them. A row new in this pass counts from nothing. Returns what
// store_line does.
std::size_t store_row(int row, const char *line, bool &down) {
    const int slot = pass.slot, before = pass.before;
    const bool fresh_row = row >= pass.oldrows;
    down = false;
    if (fresh_row) {
        room_for_rows(slot, static_cast<std::size_t>(row) + 1);
        rowtime[slot][row] = linetime;
    }
    if (!wide_counts(slot, row)) {
        bool fits = true;
        const std::size_t proven = store_line(
            line, row_counts(slot, row), fresh_row ? narrow_zeros.data() : row_counts(before, row),
            irqtotals[slot][row], pass.colmap, down, fits);
        if (fits) return proven;
        widen(slot, row);
        down = false;
    }
    return store_line(line, wide_counts(slot, row),
                      fresh_row ? zeros.data() : wide_counts(before, row), irqtotals[slot][row],
                      pass.colmap, down);
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
    for (int slot = 0; slot < 3; ++slot) {
        irqcounts[slot].reserve(static_cast<std::size_t>(numirqs) * numcpus);
        huge_pages(irqcounts[slot]);
        irqcounts[slot].assign(static_cast<std::size_t>(numirqs) * numcpus, 0);
        irqtotals[slot].assign(numirqs, 0);
        rowtime[slot].assign(numirqs, 0);
    }
    irqwide.assign(numirqs, {});
    widened.clear();
    irqadjust.assign(numirqs, {});
    adjusted.clear();
    newest = -1;
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

// What a count that went down from `before` to `now` counts. The kernel's
// per-CPU counts are 32 bits wide: one that came round past 2^32 counts what
// it took to get there. Any other fall is a source freed and allocated again,
// whose new count is all that came since.
std::int64_t step_down(std::int64_t before, std::int64_t now) {
    constexpr std::int64_t wrap = std::int64_t{1} << 32;
    if (now >= 0 && before < wrap && before - now > wrap / 2) return now - before + wrap;
    return now > 0 ? now : 0;
}

// What the grid shows for a row in a column (numcpus: the total): the sample
// in `cur` as read when `ref` is -1, otherwise what came between the two, with
// wraps and restarts counted. Counts past the 64-bit range stop at its limits,
// and a difference of such numbers is not let below 0.
std::int64_t shown_count(int cur, int ref, int row, int col) {
    const bool total = col == numcpus;
    const std::int64_t now = total ? irqtotals[cur][row] : count_at(cur, row, col);
    if (ref < 0) return now;
    std::int64_t d = sat_sub(now, total ? irqtotals[ref][row] : count_at(ref, row, col));
    if (const auto &a = irqadjust[row]; !a.empty()) {
        const std::size_t w = static_cast<std::size_t>(numcpus) + 1;
        d = sat_add(d, sat_sub(a[cur * w + col], a[ref * w + col]));
    }
    return d > 0 ? d : 0;
}

// A row's count in a column of a slot, from whichever cells hold it.
std::int64_t count_at(int slot, int row, int col) {
    if (const std::int64_t *w = wide_counts(slot, row)) return w[col];
    return row_counts(slot, row)[col];
}

// Sets it; a row whose cells cannot take the count gets 64-bit ones.
void set_count(int slot, int row, int col, std::int64_t v) {
    if (!wide_counts(slot, row) && fits_cell(v))
        row_counts(slot, row)[col] = static_cast<std::uint32_t>(v);
    else
        widen(slot, row)[col] = v;
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
// set up yet.
void scan_sample(int slot) {
    looking = false;
    read_input(slot);
    looking = true;
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
            zeros.assign(numcpus, 0);
            narrow_zeros.assign(numcpus, 0);
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
