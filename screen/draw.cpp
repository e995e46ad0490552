// Writing to the screen so that nothing lands outside it or wraps: curses
// carries text past the right edge onto the next line, where it would stay as
// garbage over another row, so every write is cut at the edge. What is drawn
// goes out only while the terminal takes output: curses would wait in its
// write while output is stopped (Ctrl-S), with no key read, q included. The
// cursor and the modes the terminal is asked for go out with the screen, for
// the same reason.

#include "kevrane.h"

#include <algorithm>
#include <cerrno>
#include <curses.h>
#include <poll.h>
#include <unistd.h>

namespace kevrane {

int screenfd = -1;
bool behind;

namespace {
bool cursor_on;   // the cursor is wanted on the screen: at a prompt
bool cursor_owed; // the terminal may not show the cursor as wanted
std::string owed; // modes to ask of the terminal again
} // namespace

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

// The terminal takes output now. One that does not has its output stopped,
// or its reader is far behind; one that is gone is written to and tells so
// itself. A file always takes output.
bool takes_output() {
    if (screenfd < 0) return true;
    pollfd p{screenfd, POLLOUT, 0};
    return poll(&p, 1, 0) != 0;
}

// What was drawn goes out to the terminal, if it takes output; the whole
// screen once it does again, since what it shows may be anything by then.
// False where curses' write failed.
bool update_screen() {
    if (!takes_output()) {
        behind = true;
        return true;
    }
    if (behind) clearok(curscr, TRUE);
    behind = false;
    for (std::size_t at = 0; at < owed.size();) {
        const ssize_t n = write(screenfd, owed.data() + at, owed.size() - at);
        if (n > 0)
            at += static_cast<std::size_t>(n);
        else if (n == 0 || errno != EINTR)
            break;
    }
    owed.clear();
    if (cursor_owed) { // sent even where curses believes it sent it already
        curs_set(cursor_on ? 0 : 1);
        curs_set(cursor_on ? 1 : 0);
        cursor_owed = false;
    }
    return wrefresh(stdscr) != ERR;
}

// The cursor shows only at a prompt; elsewhere it would blink wherever the
// last update left it.
void show_cursor(bool on) {
    leaveok(stdscr, on ? FALSE : TRUE);
    cursor_on = on;
    cursor_owed = true;
}

// After a stop the shell may have changed the terminal's modes and shown the
// cursor: `modes` is asked again, and the cursor set again, with the next
// update of the screen.
void owe_terminal(const char *modes) {
    owed += modes;
    cursor_owed = true;
}

// A bell goes out at once: none while the terminal takes no output.
void bell() {
    if (takes_output()) beep();
}

} // namespace kevrane
