// The three sample slots and the sampler. Slots 0 and 1 take turns as the
// newest sample, slot 2 is the baseline taken at start-up; a display mode is
// the newest slot minus the one it chooses as its reference. The slots hold
// the counts as the kernel prints them, in 32 bits as it does, each row only
// in the columns it has counted on; what wraps and restarts added on top is
// kept beside them, for the few rows whose counts ever went down, and so are
// the counts of the few rows that need 64 bits.

#include "kevrane.h"

#include <algorithm>
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

namespace kevrane {

std::vector<row_cells> irqcells;
std::array<std::vector<std::vector<std::uint32_t>>, 3> irqcounts;
std::array<std::vector<std::uint32_t>, 3> densecounts;
std::array<std::vector<std::int64_t>, 3> irqtotals;
std::vector<std::vector<std::int64_t>> irqwide;
std::vector<std::vector<std::int64_t>> irqadjust;
std::array<std::vector<std::int64_t>, 3> rowtime;
int read_input_active;

namespace {

int newest = -1;                // the slot the last pass filled
std::int64_t looked;            // when the pass under way last looked at the keyboard
bool looking = true;            // keys are looked for: not in the start-up scan
std::vector<int> adjusted;      // rows with an irqadjust block
std::vector<char> fresh;        // CPU columns that came with this pass's header
std::vector<char> read_members; // the merged rows' lines this pass has read
// A line as read, over every column; and the sample before it over every
// column, 0 where its row has no cell, which is all 0 again between lines.
std::vector<std::uint32_t> line32, prev32;
std::vector<std::int64_t> line64, prev64;
std::vector<std::int64_t> cellbuf; // a merged row's line in its row's cells
std::vector<int> added;            // columns a row counts on for the first time
std::size_t blocks;                // blocks of densecounts, in use or not
std::vector<std::size_t> unused;   // blocks no row uses
// What the table holds and may grow to. A cell is a row's place for a column
// in every slot, or a merged row's line's; a source (a row, or a line of a
// merged row) and a column take about as much beside their cells as these
// many cells. A table whose labels never repeat, or whose CPUs keep coming,
// must not take all memory: it may grow to four times what the start-up
// scan found, or to what a large machine's table needs, and no further.
std::size_t held;                  // cells
std::size_t percolumn;             // cells a column adds: one for each dense row and line of one
std::size_t maxsources = SIZE_MAX; // sources, and what all
std::size_t maxheld = SIZE_MAX;    // takes, counted in cells, the table may grow to
constexpr std::size_t source_cost = 32, column_cost = 8;

int col_of(int row, int cell) {
    const row_cells &r = irqcells[row];
    return r.dense ? cell : r.cols[cell];
}

// Which of a row's cells is a column's, or -1 where it never counted.
int cell_of(int row, int col) {
    const row_cells &rc = irqcells[row];
    if (rc.dense) return col;
    const auto at = std::lower_bound(rc.cols.begin(), rc.cols.end(), col);
    return at != rc.cols.end() && *at == col ? static_cast<int>(at - rc.cols.begin()) : -1;
}

// Dense rows on a large machine are tens of megabytes, first touched at
// start-up or when the table grows. Where the kernel gives huge pages on
// request, that first touch costs a fault per huge page rather than one per
// page.
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
template <class T> void make_room(std::vector<T> &v, std::size_t rows, std::size_t cols = 1) {
    if (v.capacity() >= rows * cols) return;
    std::vector<T> grown;
    grown.reserve(std::max(rows + rows / 64 + 16, looking ? 0 : 2 * v.capacity() / cols) * cols);
    huge_pages(grown);
    constexpr std::size_t slice = 1 << 16;
    for (std::size_t at = 0; at < v.size(); at += slice) {
        grown.insert(grown.end(), std::make_move_iterator(v.begin() + at),
                     std::make_move_iterator(v.begin() + std::min(v.size(), at + slice)));
        look_when_due();
    }
    v.swap(grown);
}

// A block of densecounts for a row that counts on most columns.
std::size_t take_block() {
    if (!unused.empty()) {
        const std::size_t b = unused.back();
        unused.pop_back();
        return b;
    }
    ++blocks;
    for (auto &d : densecounts) {
        make_room(d, blocks, numcpus);
        d.resize(blocks * numcpus);
    }
    return blocks - 1;
}

// Moves `parts` runs of `from` cells, each followed by `extra` places, to
// runs of `to` cells, cell k to place[k]; the cells new among them are 0. A
// store that does not hold the row's cells now (none yet, or another kind)
// is left alone.
template <class T>
void spread(std::vector<T> &v, std::size_t parts, std::size_t extra, std::size_t from,
            std::size_t to, const std::vector<int> &place) {
    if (v.size() != parts * (from + extra)) return;
    std::vector<T> out(parts * (to + extra), 0);
    for (std::size_t p = 0; p < parts; ++p) {
        const T *a = v.data() + p * (from + extra);
        T *b = out.data() + p * (to + extra);
        for (std::size_t k = 0; k < from; ++k)
            b[place[k]] = a[k];
        std::copy_n(a + from, extra, b + to);
    }
    v.swap(out);
}

// A row's cells move: every store of its numbers follows, but a dense row's
// block.
void move_cells(int row, std::size_t from, std::size_t to, const std::vector<int> &place) {
    held += (to - from) * (1 + irqcells[row].lines);
    if (irqwide[row].empty() && !irqcells[row].dense)
        for (auto &slot : irqcounts)
            spread(slot[row], 1, 0, from, to, place);
    spread(irqwide[row], 3, 1, from, to, place);
    spread(irqadjust[row], 3, 1, from, to, place);
    if (irqcells[row].merged)
        for (auto &m : members)
            if (m.row == row) spread(m.counts, 1, 0, from, to, place);
}

// A row that counts on most columns has a cell for every one from now on,
// the column's own; what its cells held moves there.
void make_dense(int row) {
    row_cells &rc = irqcells[row];
    const std::size_t from = rc.cols.size();
    if (!room_for(0, 0, (numcpus - from) * (1 + rc.lines))) return;
    percolumn += 1 + rc.lines;
    if (irqwide[row].empty()) {
        const std::size_t b = take_block();
        for (int s = 0; s < 3; ++s) {
            std::uint32_t *cells = densecounts[s].data() + b * numcpus;
            std::fill_n(cells, numcpus, 0);
            for (std::size_t k = 0; k < from; ++k)
                cells[rc.cols[k]] = irqcounts[s][row][k];
            std::vector<std::uint32_t>().swap(irqcounts[s][row]);
        }
        rc.block = b;
    }
    rc.dense = true; // the row's block holds its 32-bit counts from here on
    move_cells(row, from, numcpus, rc.cols);
    std::vector<int>().swap(rc.cols);
}

// The row counts in columns `cols` (in order, none of them its cells yet)
// for the first time: each becomes a cell in every slot, its samples there
// so far 0, as they were.
// None does where the table may not grow further: the row's counts there
// are not kept.
void add_cells(int row, const std::vector<int> &cols) {
    row_cells &rc = irqcells[row];
    const std::size_t from = rc.cols.size();
    if (2 * (from + cols.size()) > static_cast<std::size_t>(numcpus)) return make_dense(row);
    if (!room_for(0, 0, cols.size() * (1 + rc.lines))) return;
    static std::vector<int> merged, place;
    merged.resize(from + cols.size());
    std::merge(rc.cols.begin(), rc.cols.end(), cols.begin(), cols.end(), merged.begin());
    place.resize(from);
    for (std::size_t k = 0, n = 0; k < from; ++k) {
        while (merged[n] != rc.cols[k])
            ++n;
        place[k] = static_cast<int>(n);
    }
    move_cells(row, from, merged.size(), place);
    rc.cols = merged;
}

// The row takes a cell in each column where a line read over every column
// counts and it has none; one that counts on most at once goes dense
// without a list of them.
template <class T> void grow_cells(int row, const T *line) {
    const row_cells &rc = irqcells[row];
    if (rc.dense) return;
    const auto counted = std::count_if(line, line + numcpus, [](T v) { return v != 0; });
    if (2 * counted > numcpus) return make_dense(row);
    added.clear();
    int c = 0;
    for (int cell : rc.cols) {
        for (; c < cell; ++c)
            if (line[c]) added.push_back(c);
        c = cell + 1;
    }
    for (; c < numcpus; ++c)
        if (line[c]) added.push_back(c);
    if (!added.empty()) add_cells(row, added);
}

// A row's cells over every column, into `to`, which is 0 elsewhere; a dense
// row's cells are that already.
template <class T> const T *spread_out(int row, const T *cells, std::vector<T> &to) {
    const row_cells &rc = irqcells[row];
    if (rc.dense) return cells;
    for (std::size_t k = 0; k < rc.cols.size(); ++k)
        to[rc.cols[k]] = cells[k];
    return to.data();
}

template <class T> void clear_out(int row, std::vector<T> &to) {
    if (!irqcells[row].dense)
        for (int c : irqcells[row].cols)
            to[c] = 0;
}

// The row's cells take a line read over every column.
template <class T> void gather(int row, const T *line, T *cells) {
    const row_cells &rc = irqcells[row];
    if (rc.dense)
        std::copy_n(line, numcpus, cells);
    else
        for (std::size_t k = 0; k < rc.cols.size(); ++k)
            cells[k] = line[rc.cols[k]];
}

std::int64_t cell_count(int slot, int row, int cell) {
    if (const std::int64_t *w = wide_counts(slot, row)) return w[cell];
    return row_counts(slot, row)[cell];
}

std::int64_t *adjust_block(int slot, int row) {
    auto &a = irqadjust[row];
    const std::size_t part = static_cast<std::size_t>(cells_of(row)) + 1;
    if (a.empty()) {
        a.assign(3 * part, 0);
        adjusted.push_back(row);
    }
    return a.data() + slot * part;
}

void adjust(int slot, int row, int cell, std::int64_t by) {
    std::int64_t *a = adjust_block(slot, row);
    a[cell] = sat_add(a[cell], by);
    a[cells_of(row)] = sat_add(a[cells_of(row)], by);
}

// A count of `row` in a cell went from `was` to `now`: the row counts on by
// what came in between.
void count_down(int slot, int row, int cell, std::int64_t was, std::int64_t now) {
    adjust(slot, row, cell, sat_add(sat_sub(was, now), step_down(was, now)));
}

template <class Cell> void count_downs(int slot, int row, const Cell *now, const Cell *was) {
    for (int k = 0, n = cells_of(row); k < n; ++k)
        if (now[k] < was[k] && !fresh[col_of(row, k)]) count_down(slot, row, k, was[k], now[k]);
}

// A row's counts in 64 bits from now on: a merged row, whose sums may pass
// 2^32, or one that met a count no kernel prints. Each slot's part has a
// place more than there are cells, so that a row is never without one even
// when there are none.
std::int64_t *widen(int slot, int row) {
    auto &w = irqwide[row];
    if (w.empty()) {
        const std::size_t n = cells_of(row), part = n + 1;
        w.assign(3 * part, 0);
        for (int s = 0; s < 3; ++s) {
            std::copy_n(row_counts(s, row), n, w.data() + s * part);
            std::vector<std::uint32_t>().swap(irqcounts[s][row]);
        }
        if (irqcells[row].dense) unused.push_back(irqcells[row].block);
    }
    return wide_counts(slot, row);
}

// Copies a row's counts and total from one slot to another.
void copy_row(int from, int to, int row) {
    if (std::int64_t *w = wide_counts(from, row))
        std::copy_n(w, cells_of(row), wide_counts(to, row));
    else
        std::copy_n(row_counts(from, row), cells_of(row), row_counts(to, row));
    irqtotals[to][row] = irqtotals[from][row];
    rowtime[to][row] = rowtime[from][row];
}

// Copies a whole sample, what wraps and restarts added to it included.
void copy_sample(int from, int to) {
    for (int r = 0; r < numirqs; ++r)
        copy_row(from, to, r);
    for (int r : adjusted) {
        const std::size_t w = static_cast<std::size_t>(cells_of(r)) + 1;
        std::copy_n(irqadjust[r].data() + from * w, w, irqadjust[r].data() + to * w);
    }
}

// CPUs the header names that have no column yet get one, in CPU-number
// order; every row's cells move to the new places. A new column counts from
// its first sample, like everything else.
void add_columns(const std::vector<long> &cpus) {
    std::vector<long> grown = cpunum;
    for (long cpu : cpus)
        if (const std::size_t more = grown.size() + 1 - cpunum.size();
            std::find(grown.begin(), grown.end(), cpu) == grown.end() &&
            room_for(0, more, more * percolumn))
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
    // A dense row's cells move, the new columns 0; the others' are renumbered.
    for (auto &d : densecounts) {
        std::vector<std::uint32_t> out;
        make_room(out, blocks, now);
        for (std::size_t b = 0; b < blocks; ++b) {
            const std::uint32_t *row = d.data() + b * was;
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
            look_when_due();
        }
        d.swap(out);
    }
    for (std::size_t r = 0; r < irqcells.size(); ++r) {
        if (irqcells[r].dense)
            move_cells(static_cast<int>(r), was, now, place);
        else
            for (int &c : irqcells[r].cols)
                c = place[c];
        look_when_due();
    }
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
    if (cpus == mapped && cpunum == columns && (whole || !room_for(0, 1, percolumn)))
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

// Room for `rows` rows in every slot, each with no cells yet.
void room_for_rows(std::size_t rows) {
    if (irqcells.size() >= rows) return;
    make_room(irqcells, rows);
    irqcells.resize(rows);
    for (auto &s : irqcounts) {
        make_room(s, rows);
        s.resize(rows);
    }
    for (auto *v : {&irqtotals, &rowtime})
        for (auto &t : *v) {
            make_room(t, rows);
            t.resize(rows);
        }
    make_room(irqadjust, rows);
    irqadjust.resize(rows);
    make_room(irqwide, rows);
    irqwide.resize(rows);
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
        std::int64_t *row = wide_counts(slot, m.row);
        const int n = cells_of(m.row);
        for (int k = 0; k < n; ++k)
            row[k] = sat_add(row[k], m.counts[k]);
        irqtotals[slot][m.row] = sat_add(irqtotals[slot][m.row], m.total);
        if (i >= oldmembers && m.row < oldrows)
            for (int k = 0; k < n; ++k)
                if (!fresh[col_of(m.row, k)] && m.counts[k])
                    adjust(slot, m.row, k, sat_sub(0, m.counts[k]));
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
    for (int r : adjusted) {
        const std::size_t w = static_cast<std::size_t>(cells_of(r)) + 1;
        std::copy_n(irqadjust[r].data() + pass.before * w, w, irqadjust[r].data() + slot * w);
    }
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
    irqcells[row].merged = true;
    const std::size_t n = cells_of(row);
    if (mb.counts.size() != n) { // a line new to its row
        mb.counts.assign(n, 0);
        held += n;
        ++irqcells[row].lines;
        if (irqcells[row].dense) ++percolumn;
    }
    std::int64_t total = 0;
    bool down = false;
    store_line(line, line64.data(), spread_out(row, mb.counts.data(), prev64), total, pass.colmap,
               down);
    clear_out(row, prev64);
    grow_cells(row, line64.data());
    cellbuf.resize(cells_of(row));
    gather(row, line64.data(), cellbuf.data());
    if (down && pass.counting && static_cast<std::size_t>(member) < pass.oldmembers &&
        row < pass.oldrows)
        count_downs(pass.slot, row, cellbuf.data(), mb.counts.data());
    mb.counts.swap(cellbuf);
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
    if (irqcells[row].dense)
        return store_into(line, cells<Cell>(slot, row), cells<Cell>(pass.before, row), total, down,
                          fits);
    const std::size_t proven = store_into(
        line, got.data(), spread_out(row, cells<Cell>(pass.before, row), prev), total, down, fits);
    clear_out(row, prev);
    if (!fits) return 0;
    bool elsewhere = true; // the line may count where the row has no cell
    if constexpr (sizeof(Cell) == 4) {
        std::int64_t sum = 0;
        for (int c : irqcells[row].cols)
            sum += got[c];
        elsewhere = sum != total;
    }
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

// Whether the table may take `sources` more sources, `columns` more columns
// and `cells` more cells.
bool room_for(std::size_t sources, std::size_t columns, std::size_t cells) {
    sources += static_cast<std::size_t>(numirqs) + newrows + members.size();
    columns += numcpus;
    return sources <= maxsources &&
           held + cells + sources * source_cost + columns * column_cost <= maxheld;
}

void alloc_slots() {
    held = percolumn = 0;
    maxsources = maxheld = SIZE_MAX;
    irqcells.assign(numirqs, {});
    for (auto &d : densecounts)
        d.clear();
    blocks = 0;
    unused.clear();
    for (int slot = 0; slot < 3; ++slot) {
        irqcounts[slot].assign(numirqs, {});
        irqtotals[slot].assign(numirqs, 0);
        rowtime[slot].assign(numirqs, 0);
    }
    irqwide.assign(numirqs, {});
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
    const int k = total ? cells_of(row) : cell_of(row, col);
    if (k < 0) return 0; // the row never counted there
    auto at = [&](int s) { return total ? irqtotals[s][row] : cell_count(s, row, k); };
    const std::int64_t now = at(cur);
    if (ref < 0) return now;
    std::int64_t d = sat_sub(now, at(ref));
    if (const auto &a = irqadjust[row]; !a.empty()) {
        const std::size_t w = static_cast<std::size_t>(cells_of(row)) + 1;
        d = sat_add(d, sat_sub(a[cur * w + k], a[ref * w + k]));
    }
    return d > 0 ? d : 0;
}

// A row's count in a column of a slot: 0 where it never counted.
std::int64_t count_at(int slot, int row, int col) {
    const int k = cell_of(row, col);
    return k < 0 ? 0 : cell_count(slot, row, k);
}

// Sets it; a row whose cells cannot take the count gets 64-bit ones, and one
// that had none in the column gets one.
void set_count(int slot, int row, int col, std::int64_t v) {
    int k = cell_of(row, col);
    if (k < 0) {
        if (!v) return;
        add_cells(row, {col});
        if ((k = cell_of(row, col)) < 0) return;
    }
    if (!wide_counts(slot, row) && fits_cell(v))
        row_counts(slot, row)[k] = static_cast<std::uint32_t>(v);
    else
        widen(slot, row)[k] = v;
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
    const std::size_t sources = static_cast<std::size_t>(numirqs) + members.size();
    maxsources = std::max<std::size_t>(4 * sources, 1 << 16);
    maxheld = std::max<std::size_t>(
        4 * (held + sources * source_cost + static_cast<std::size_t>(numcpus) * column_cost),
        1 << 22);
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
