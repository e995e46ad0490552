// The row store, seen by the sampler alone: each row's numbers in the three
// slots, kept only for the CPU columns the row has counted on (its cells),
// in 32 bits as the kernel prints them or in 64 where a row needs more, what
// wraps and restarts added on top, and the counts each line of a merged row
// last had. The store knows nothing of a pass: the sampler tells it what to
// take, and how long a move may run before it looks at the keyboard.
#pragma once

#include "kevrane.h"

#include <cstdint>
#include <vector>

namespace kevrane {

// No rows, nothing held, no bound on growth.
void reset_store();
// Rows come all at once (the start-up scan): the store doubles its room.
void grow_twofold(bool on);
// Called between slices of a long move: the sampler looks at the keyboard.
extern void (*pause_moves)();
// Room for `rows` rows in every slot, each with no cells yet.
void store_rows(std::size_t rows);
// What the table holds now bounds what it may grow to; whether it may take
// `more` columns, and a cell for each in every row that keeps every column.
void bound_growth();
bool room_for_columns(std::size_t more);
// The columns move: old column c is now column place[c] of `now`, and the
// others are new, 0 in every row that keeps every column.
void move_columns(const std::vector<int> &place, int now);

// A row's cells: how many, and which column each is.
int cells_of(int row);
int col_of(int row, int cell);
bool keeps_every_column(int row);
// Its 32-bit cells in a slot, or its 64-bit ones (nullptr for a row that
// fits 32 bits), or 64-bit ones from now on.
std::uint32_t *row_counts(int slot, int row);
std::int64_t *wide_counts(int slot, int row);
std::int64_t *widen(int slot, int row);
// A line read over every column and a row's cells: the cells spread out
// over every column into `to` (0 elsewhere; a row that keeps every column
// needs none), and cleared out of it again; the row taking cells where the
// line counts and it has none; the cells taking the line.
template <class T> const T *spread_out(int row, const T *cells, std::vector<T> &to);
template <class T> void clear_out(int row, std::vector<T> &to);
template <class T> void grow_cells(int row, const T *line);
template <class T> void gather(int row, const T *line, T *cells);
// What the line counts on the row's cells.
std::int64_t sum_in_cells(int row, const std::uint32_t *line);
// A count of a row's cell fell from `was` to `now`: the row counts on by
// what came in between; or by `by`.
void count_fall(int slot, int row, int cell, std::int64_t was, std::int64_t now);
void adjust(int slot, int row, int cell, std::int64_t by);
// A row's cells and total, and what wraps and restarts added to every row,
// copied from one slot to another.
void copy_cells(int from, int to, int row);
void copy_adjustments(int from, int to);
// A merged row's line's counts, in its row's cells; made for a line new to
// its row.
std::vector<std::int64_t> &line_counts(int member);

} // namespace kevrane
