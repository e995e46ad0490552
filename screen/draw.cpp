// Writing to the screen so that nothing lands outside it or wraps: curses
// carries text past the right edge onto the next line, where it would stay as
// garbage over another row, so every write is cut at the edge.

#include "kevrane.h"

#include <algorithm>
#include <curses.h>

namespace kevrane {

// Anything but printable ASCII (a host name in another encoding, a byte the
// table should not hold) would be drawn wider than one column, or acted on by
// the terminal, so it shows as '?'.
void put_text(int y, int x, const char *text, int len) {
    if (y < 0 || y >= LINES || x < 0 || x >= COLS || len <= 0) return;
    len = std::min(len, COLS - x);
    std::string shown(text, len);
    for (char &c : shown)
        if (c < ' ' || c > '~') c = '?';
    mvwaddnstr(stdscr, y, x, shown.data(), len);
}

void put_text(int y, int x, const std::string &text) {
    put_text(y, x, text.data(), static_cast<int>(text.size()));
}

void clear_eol(int y, int x) {
    if (y < 0 || y >= LINES || x < 0 || x >= COLS) return;
    wmove(stdscr, y, x);
    wclrtoeol(stdscr);
}

} // namespace kevrane
