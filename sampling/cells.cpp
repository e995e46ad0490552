// The row store. A row keeps numbers only for the CPU columns it has counted
// on, its cells: most sources fire on one CPU or a few, and most of a large
// machine's table is zeros. A column joins a row when the row first counts
// there; a row that counts on most columns has a cell for every one, the
// column's own (it is dense). The kernel prints its counts as unsigned 32-bit
// numbers, and so they are kept; a row whose counts need more (a merged row's
// sums, or a count no kernel prints: negative, past 2^32 - 1) keeps them in
// 64 bits instead. What wraps and restarts added is kept beside them, for the
// few rows whose counts ever went down.

#include "cells.h"

#include <algorithm>
#include <sys/mman.h>
#include <unistd.h>

namespace kevrane {

std::array<std::vector<std::int64_t>, 3> irqtotals;
void (*pause_moves)();

namespace {

struct row_cells {
    std::vector<int> cols; // the columns of its cells, in order; empty when dense
    bool dense = false;    // a cell for every column, the column's own number
    std::size_t block = 0; // a dense row's 32-bit cells: its place in densecounts, in rows
    int lines = 0;         // a merged row's lines that keep counts in its cells
};

std::vector<row_cells> irqcells;                                  // row -> its cells
std::array<std::vector<std::vector<std::uint32_t>>, 3> irqcounts; // [slot][row][cell]
// Dense rows' 32-bit cells, one block of every column for each, [slot][block
// * numcpus + column]: a pass runs through them in order, as it reads them.
std::array<std::vector<std::uint32_t>, 3> densecounts;
// row -> its counts in 64 bits, [slot][cell], a place more than there are
// cells in each slot; empty for a row that fits 32 bits
std::vector<std::vector<std::int64_t>> irqwide;
// row -> what wraps and restarts added to its counts, [slot][cell], the
// total last; empty for a row whose counts never went down
std::vector<std::vector<std::int64_t>> irqadjust;
// member -> its counts, in its row's cells, once it has been read
struct line_cells {
    std::vector<std::int64_t> counts;
    bool kept = false;
};
std::vector<line_cells> linecounts;
std::vector<int> adjusted;       // rows with an irqadjust block
std::vector<int> added;          // columns a row counts on for the first time
std::size_t blocks;              // blocks of densecounts, in use or not
std::vector<std::size_t> unused; // blocks no row uses
bool twofold;                    // rows come all at once: room doubles
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
// come pass after pass do not copy a large machine's slots each time; where
// rows come all at once, twice the room there was. Room never used is never
// touched, and takes no memory. What is there is copied a slice at a time,
// with a pause between.
template <class T> void make_room(std::vector<T> &v, std::size_t rows, std::size_t cols = 1) {
    if (v.capacity() >= rows * cols) return;
    std::vector<T> grown;
    grown.reserve(std::max(rows + rows / 64 + 16, twofold ? 2 * v.capacity() / cols : 0) * cols);
    huge_pages(grown);
    constexpr std::size_t slice = 1 << 16;
    for (std::size_t at = 0; at < v.size(); at += slice) {
        grown.insert(grown.end(), std::make_move_iterator(v.begin() + at),
                     std::make_move_iterator(v.begin() + std::min(v.size(), at + slice)));
        if (pause_moves) pause_moves();
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
    if (irqcells[row].lines)
        for (std::size_t m = 0; m < members.size() && m < linecounts.size(); ++m)
            if (members[m].row == row) spread(linecounts[m].counts, 1, 0, from, to, place);
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
// so far 0, as they were. None does where the table may not grow further:
// the row's counts there are not kept.
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

} // namespace

void reset_store() {
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
    }
    irqwide.assign(numirqs, {});
    irqadjust.assign(numirqs, {});
    linecounts.clear();
    adjusted.clear();
}

void grow_twofold(bool on) {
    twofold = on;
}

void store_rows(std::size_t rows) {
    if (irqcells.size() >= rows) return;
    make_room(irqcells, rows);
    irqcells.resize(rows);
    for (auto &s : irqcounts) {
        make_room(s, rows);
        s.resize(rows);
    }
    for (auto &t : irqtotals) {
        make_room(t, rows);
        t.resize(rows);
    }
    make_room(irqadjust, rows);
    irqadjust.resize(rows);
    make_room(irqwide, rows);
    irqwide.resize(rows);
}

void bound_growth() {
    const std::size_t sources = static_cast<std::size_t>(numirqs) + members.size();
    maxsources = std::max<std::size_t>(4 * sources, 1 << 16);
    maxheld = std::max<std::size_t>(
        4 * (held + sources * source_cost + static_cast<std::size_t>(numcpus) * column_cost),
        1 << 22);
}

// Whether the table may take `sources` more sources, `columns` more columns
// and `cells` more cells.
bool room_for(std::size_t sources, std::size_t columns, std::size_t cells) {
    sources += static_cast<std::size_t>(numirqs) + newrows + members.size();
    columns += numcpus;
    return sources <= maxsources &&
           held + cells + sources * source_cost + columns * column_cost <= maxheld;
}

// Whether it may take `more` columns, and a cell for each in every row that
// keeps every column.
bool room_for_columns(std::size_t more) {
    return room_for(0, more, more * percolumn);
}

void move_columns(const std::vector<int> &place, int now) {
    const int was = numcpus;
    std::vector<char> fresh(now, 1);
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
            if (pause_moves) pause_moves();
        }
        d.swap(out);
    }
    for (std::size_t r = 0; r < irqcells.size(); ++r) {
        if (irqcells[r].dense)
            move_cells(static_cast<int>(r), was, now, place);
        else
            for (int &c : irqcells[r].cols)
                c = place[c];
        if (pause_moves) pause_moves();
    }
}

int cells_of(int row) {
    const row_cells &r = irqcells[row];
    return r.dense ? numcpus : static_cast<int>(r.cols.size());
}

int col_of(int row, int cell) {
    const row_cells &r = irqcells[row];
    return r.dense ? cell : r.cols[cell];
}

bool keeps_every_column(int row) {
    return irqcells[row].dense;
}

std::uint32_t *row_counts(int slot, int row) {
    const row_cells &r = irqcells[row];
    return r.dense ? densecounts[slot].data() + r.block * numcpus : irqcounts[slot][row].data();
}

std::int64_t *wide_counts(int slot, int row) {
    auto &w = irqwide[row];
    return w.empty() ? nullptr : w.data() + static_cast<std::size_t>(slot) * (cells_of(row) + 1);
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

// One that counts on most columns at once goes dense without a list of them.
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

template <class T> void gather(int row, const T *line, T *cells) {
    const row_cells &rc = irqcells[row];
    if (rc.dense)
        std::copy_n(line, numcpus, cells);
    else
        for (std::size_t k = 0; k < rc.cols.size(); ++k)
            cells[k] = line[rc.cols[k]];
}

template const std::uint32_t *spread_out(int, const std::uint32_t *, std::vector<std::uint32_t> &);
template const std::int64_t *spread_out(int, const std::int64_t *, std::vector<std::int64_t> &);
template void clear_out(int, std::vector<std::uint32_t> &);
template void clear_out(int, std::vector<std::int64_t> &);
template void grow_cells(int, const std::uint32_t *);
template void grow_cells(int, const std::int64_t *);
template void gather(int, const std::uint32_t *, std::uint32_t *);
template void gather(int, const std::int64_t *, std::int64_t *);

std::int64_t sum_in_cells(int row, const std::uint32_t *line) {
    std::int64_t sum = 0;
    for (int c : irqcells[row].cols)
        sum += line[c];
    return sum;
}

void adjust(int slot, int row, int cell, std::int64_t by) {
    std::int64_t *a = adjust_block(slot, row);
    a[cell] = sat_add(a[cell], by);
    a[cells_of(row)] = sat_add(a[cells_of(row)], by);
}

void count_fall(int slot, int row, int cell, std::int64_t was, std::int64_t now) {
    adjust(slot, row, cell, sat_add(sat_sub(was, now), step_down(was, now)));
}

void copy_cells(int from, int to, int row) {
    if (std::int64_t *w = wide_counts(from, row))
        std::copy_n(w, cells_of(row), wide_counts(to, row));
    else
        std::copy_n(row_counts(from, row), cells_of(row), row_counts(to, row));
    irqtotals[to][row] = irqtotals[from][row];
}

void copy_adjustments(int from, int to) {
    for (int r : adjusted) {
        const std::size_t w = static_cast<std::size_t>(cells_of(r)) + 1;
        std::copy_n(irqadjust[r].data() + from * w, w, irqadjust[r].data() + to * w);
    }
}

std::vector<std::int64_t> &line_counts(int member) {
    if (linecounts.size() <= static_cast<std::size_t>(member)) linecounts.resize(member + 1);
    line_cells &l = linecounts[member];
    if (!l.kept) { // a line new to its row
        const int row = members[member].row;
        const std::size_t n = cells_of(row);
        l.kept = true;
        l.counts.assign(n, 0);
        held += n;
        ++irqcells[row].lines;
        if (irqcells[row].dense) ++percolumn;
    }
    return l.counts;
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

std::size_t slot_bytes() {
    std::size_t bytes = 0;
    for (int r = 0; r < numirqs; ++r) {
        const std::size_t n = cells_of(r);
        bytes += irqwide[r].empty() ? 3 * n * 4 : 3 * (n + 1) * 8;
        bytes += irqcells[r].cols.size() * sizeof(int);
    }
    return bytes;
}

} // namespace kevrane
