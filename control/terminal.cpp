// The terminal the monitor runs in: whether a key waits to be read, waiting
// for one on a clock that never steps, and whether the terminal is gone.
// Curses' own timed wait measures on the wall clock, so a clock stepped back
// would stretch it; its untimed look makes a system call of its own beside
// ours. A look is therefore one poll here, and curses reads a key only once
// one is there or it may hold one.

#include "kevrane.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <curses.h>
#include <poll.h>
#include <unistd.h>

namespace kevrane {

namespace {

int keyfd = -1;    // where curses reads keys from
int screenfd = -1; // where the screen is written
bool keys_tty;     // keyfd is a terminal: its hang-up is the terminal's
bool keys_ended;   // keyfd is not a terminal and has nothing more to give
bool held;         // curses may hold a key: one was pushed back or just read

bool gone(short revents) {
    return (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

} // namespace

void watch_terminal(int keys, int screen) {
    keyfd = keys;
    screenfd = screen;
    keys_tty = keys >= 0 && isatty(keys);
    keys_ended = keys < 0;
    held = false;
}

void push_key(int key) {
    ungetch(key);
    held = true;
}

int key_waiting(std::int64_t until) {
    for (;;) {
        // Curses takes up a new terminal size whenever it updates the screen
        // and leaves the resize event for the next read.
        if (held || size_changed() || winched || continued) return key_held;
        // An unfinished escape sequence is over once its wait is: the look
        // that finds that out settles it.
        std::int64_t wake = until;
        if (!escseq.empty()) {
            const std::int64_t over = escwhen + esc_wait_ns;
            if (monotonic_ns() >= over) return key_held;
            if (until) wake = std::min(until, over); // a look that must not wait still does not
        }
        pollfd p[2] = {{keys_ended ? -1 : keyfd, POLLIN, 0}, {screenfd, 0, 0}};
        const std::int64_t left = wake ? std::max<std::int64_t>(wake - monotonic_ns(), 0) : 0;
        const timespec t{static_cast<time_t>(left / 1000000000),
                         static_cast<long>(left % 1000000000)};
        // A new size or a continue comes in only here, so that none is
        // left waiting between the look above and this wait.
        const int n = ppoll(p, 2, wake == forever ? nullptr : &t, wait_mask());
        if (n == 0) {
            if (!escseq.empty() && wake != until) continue;
            return key_none;
        }
        if (n < 0) {
            if (errno == EINTR) continue; // a signal: a new size, say
            return key_none;
        }
        if (p[0].revents & POLLIN) return key_input;
        if (gone(p[1].revents) || (keys_tty && gone(p[0].revents))) lose_terminal();
        keys_ended = true;                     // a pipe or file of keys came to its end
        if (until == forever) return key_none; // no key will come to wait for
    }
}

// The next key, from curses or the terminal; ERR when none was there after
// all. Input that ends without a key is at its end for good, unless it is a
// terminal, which is then gone.
int read_key(int look) {
    if (continued) {
        continued = 0;
        held = true; // keys typed meanwhile are still there
        return key_redraw;
    }
    if (winched) { // curses takes a new size up as it updates the screen
        winched = 0;
        doupdate();
    }
    const int key = wgetch(stdscr);
    prepare_farewell(); // curses takes up a new size as it reads
    held = key != ERR;
    if (key != ERR) return key;
    if (size_changed()) return KEY_RESIZE;
    if (look == key_input) {
        if (keys_tty && terminal_gone()) lose_terminal();
        if (!keys_tty) keys_ended = true;
    }
    return ERR;
}

namespace {

// What a terminal sends as one unit, and how far its reading has come.
enum unit_kind {
    u_esc,        // ESC: what follows says what it is, or it is ESC alone
    u_csi,        // ESC [, parameter and intermediate bytes, a final byte
    u_mouse,      // ESC [ M and three bytes of any value: a mouse report
    u_one,        // ESC O (SS3), or the Linux console's ESC [ [: one more byte
    u_string,     // OSC, DCS, SOS, PM or APC: up to ESC \ (or BEL, for OSC)
    u_string_esc, // such a string that has just met an ESC
    u_paste,      // ESC [ 200 ~: a paste, up to ESC [ 201 ~
    u_utf8,       // a UTF-8 character, its continuation bytes still to come
};
unit_kind unit;
int left;         // bytes still to come of a mouse report or a UTF-8 character
bool osc;         // the string is an OSC, which BEL may end
std::size_t ends; // bytes of the paste's end met in a row
constexpr char paste_start[] = "\033[200~";
constexpr char paste_end[] = "\033[201~";
// Enough of a unit's start to tell what it is; the rest is only counted.
constexpr std::size_t unit_keep = 16;

// Continuation bytes a UTF-8 lead byte announces, or 0 for a byte that leads
// no character.
int utf8_rest(int ch) {
    return ch >= 0xc2 && ch <= 0xdf   ? 1
           : ch >= 0xe0 && ch <= 0xef ? 2
           : ch >= 0xf0 && ch <= 0xf4 ? 3
                                      : 0;
}

enum step { more, done, cut, cut_esc };

// The unit read so far (its first bytes in escseq) goes on with `ch`, is
// complete with it, or ends before it: `ch` is then read again as a key of
// its own (cut_esc: and so is the ESC before it).
step feed(int ch) {
    switch (unit) {
    case u_esc:
        if (ch == 27) return cut; // two ESCs are two keys
        if (ch == '[')
            unit = u_csi;
        else if (ch == 'O')
            unit = u_one;
        else if (ch == ']' || ch == 'P' || ch == 'X' || ch == '^' || ch == '_')
            unit = u_string, osc = ch == ']';
        else if ((left = utf8_rest(ch)))
            unit = u_utf8; // Alt and a character
        else
            return done; // Alt and a key
        return more;
    case u_csi:
        if (escseq.size() == 2 && ch == 'M') return unit = u_mouse, left = 3, more;
        if (escseq.size() == 2 && ch == '[') return unit = u_one, more;
        if (ch >= 0x20 && ch <= 0x3f) return more;
        if (ch < 0x40 || ch > 0x7e) return cut;
        if (escseq == std::string_view(paste_start, 5) && ch == '~')
            return unit = u_paste, ends = 0, more;
        return done;
    case u_mouse: return --left ? more : done;
    case u_one: return ch >= 0x20 && ch <= 0x7e ? done : cut;
    case u_string:
        if (ch == 27) unit = u_string_esc;
        return osc && ch == 7 ? done : more;
    case u_string_esc: return ch == '\\' ? done : cut_esc;
    case u_paste:
        ends = ch == paste_end[ends] ? ends + 1 : ch == 27 ? 1 : 0;
        return ends == sizeof paste_end - 1 ? done : more;
    case u_utf8:
        if (ch < 0x80 || ch > 0xbf) return cut;
        return --left ? more : done;
    }
    return cut;
}

// What a whole unit means to the monitor: the cursor keys, Home and End
// (ESC [ or ESC O and a letter), and ESC [ n ~, which most terminals send
// for the page keys (5, 6) and tmux and screen for Home (1, 7) and End (4, 8).
// Anything else it does not use.
int unit_key(const std::string &seq) {
    if (seq.size() == 3 && (seq[1] == '[' || seq[1] == 'O') && std::strchr("ABCDHF", seq[2]))
        return key_move | seq[2];
    if (seq.size() == 4 && seq[1] == '[' && seq[3] == '~') switch (seq[2]) {
        case '5': return key_page | 'A';
        case '6': return key_page | 'B';
        case '1':
        case '7': return key_move | 'H';
        case '4':
        case '8': return key_move | 'F';
        }
    return key_seq;
}

// The unit read so far is all there will be: ESC alone, or a unit cut short,
// which the monitor cannot know.
int unfinished() {
    const int key = escseq.size() == 1 && unit == u_esc ? 27 : key_seq;
    escseq.clear();
    return key;
}

} // namespace

std::string escseq;
std::int64_t escwhen;

// The next key: a byte, a whole unit, KEY_RESIZE or key_redraw; ERR when
// there is none yet. A unit whose rest has not come waits for it up to
// esc_wait_ns after its last byte, across looks, and no byte of it is ever
// taken as a key of its own. A byte that cannot go on the unit before it ends
// that unit and is read again as a key.
int next_key(int look) {
    for (;;) {
        const int ch = read_key(look);
        if (ch == ERR) {
            if (escseq.empty()) return ERR;
            // Input that looks ready but gives nothing is at its end.
            if (look != key_input && key_waiting(0) == key_input) {
                look = key_input;
                continue;
            }
            if (!keys_at_end() && monotonic_ns() < escwhen + esc_wait_ns) return ERR;
            return unfinished();
        }
        if (ch == KEY_RESIZE || ch == key_redraw) return ch;
        step s = more;
        if (escseq.empty()) {
            if (ch == 27)
                unit = u_esc;
            else if ((left = utf8_rest(ch)))
                unit = u_utf8;
            else
                return ch;
        } else {
            s = feed(ch);
            if (s == cut || s == cut_esc) {
                push_key(ch);
                if (s == cut_esc) push_key(27);
                return unfinished();
            }
        }
        if (escseq.size() < unit_keep) escseq += static_cast<char>(ch);
        escwhen = monotonic_ns();
        if (s == done) {
            const int key = unit_key(escseq);
            escseq.clear();
            return key;
        }
        // The rest is looked for without waiting; the look also tells
        // whether the keys came to their end.
        look = key_waiting(0);
    }
}

// No key can come any more: keys that are not a terminal came to their end.
bool keys_at_end() {
    return keys_ended && !held;
}

// The terminal hung up, or its other end is closed: its keyboard or its screen
// reports a hang-up or an error. Keys that are not a terminal may end
// without the terminal being gone.
bool terminal_gone() {
    pollfd p[2] = {{keys_tty ? keyfd : -1, 0, 0}, {screenfd, 0, 0}};
    if (poll(p, 2, 0) <= 0) return false;
    return gone(p[0].revents | p[1].revents);
}

// Nobody is left to see the screen or type: the terminal's modes are put back
// as far as it still takes them, nothing is written, and the monitor ends.
void lose_terminal() {
    reset_shell_mode();
    std::_Exit(1);
}

} // namespace kevrane
