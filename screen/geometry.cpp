// The view window: which rows and CPU columns fit the terminal, and where the
// prompt line goes. Recomputed when the terminal changes size and moved by the
// navigation codes the keyboard produces.

#include "kevrane.h"

#include <algorithm>
#include <curses.h>

namespace kevrane {

int brow;
int erow;
int bcol;
int ecol;
int prow;
int datacols;
int update_header = 1;

namespace {
int last_lines, last_cols; // the terminal size the window was last computed for
} // namespace

// Rows between the two head lines and the prompt line. A terminal of fewer
// than three lines has room for none, rather than a negative page that would
// turn page up into page down.
int page_height() {
    return std::max(LINES - 3, 0);
}

// The terminal has a size the window was not computed for.
bool size_changed() {
    return LINES != last_lines || COLS != last_cols;
}

void resize_screen(int code) {
    if (!size_changed() && code == 0 && !relayout) return;
    relayout = 0;
    if (size_changed()) {
        wclear(stdscr);
        last_lines = LINES;
        last_cols = COLS;
    }
    // The name column takes 20 columns, the total one of the 12-column fields.
    datacols = (COLS - 20) / 12 - 1;
    const int page = page_height();
    const int step = std::max(datacols, 0); // too narrow for a column: left and right stay put
    switch (code) {
    case 0:
    case 1: break;
    case 'A': brow = std::max(brow - page, 0); break;
    case 'B': brow = std::max(std::min(brow + page, numirqs - page), 0); break;
    case 'C': bcol = std::max(std::min(bcol + step, numcpus - step), 0); break;
    case 'D': bcol = std::max(bcol - step, 0); break;
    case 'F':
        bcol = 0;
        brow = std::max(numirqs - page, 0);
        break;
    case 'H':
        bcol = 0;
        brow = 0;
        break;
    default: bell();
    }
    // A window left past the last row (End on a terminal with no room for
    // rows) shows the last page once there is room again.
    if (page > 0 && brow >= numirqs && numirqs > 0) brow = std::max(numirqs - page, 0);
    erow = std::min(brow + page, numirqs);
    ecol = std::min(bcol + datacols, numcpus);
    prow = erow - brow + 2;
    update_header = 1;
}

} // namespace kevrane
