// The terminal the monitor runs in: whether a key waits to be read, waiting
// for one on a clock that never steps, its bytes fed to the unit grammar,
// and whether the terminal is gone.
// Curses' own timed wait measures on the wall clock, so a clock stepped back
// would stretch it; its untimed look makes a system call of its own beside
// ours. A look is therefore one poll here, and curses reads a key only once
// one is there. Bytes read ahead of curses (a paste, taken in blocks) or
// pushed back are taken before the terminal's.

#include "kevrane.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <curses.h>
#include <deque>
#include <poll.h>
#include <unistd.h>

namespace kevrane {

namespace {

int keyfd = -1;  // where curses reads keys from
bool keys_tty;   // keyfd is a terminal: its hang-up is the terminal's
bool keys_ended; // keyfd is not a terminal and has nothing more to give

bool gone(short revents) {
    return (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

} // namespace

void watch_terminal(int keys, int screen) {
    keyfd = keys;
    screenfd = screen;
    keys_tty = keys >= 0 && isatty(keys);
    keys_ended = keys < 0;
}

std::deque<unsigned char> ahead;

// A byte read again as the next key.
void push_key(int key) {
    ahead.push_front(static_cast<unsigned char>(key));
}

void keep_ahead(const char *bytes, std::size_t n) {
    ahead.insert(ahead.end(), bytes, bytes + n);
}

// Bytes the terminal has sent, read at once, up to `n`: none while bytes are
// ahead or curses has a new size to report, which come first. A new size
// waits while the screen is behind: curses takes it up as it writes.
std::size_t read_ahead(char *to, std::size_t n) {
    take_signals();
    if (!ahead.empty() || keys_ended || size_changed() || (winched && !behind) || continued)
        return 0;
    pollfd p{keyfd, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN)) return 0;
    const ssize_t got = read(keyfd, to, n);
    if (got > 0) return static_cast<std::size_t>(got);
    if (got == 0 && !keys_tty) keys_ended = true; // a pipe or file of keys came to its end
    if (keys_tty && terminal_gone()) lose_terminal();
    return 0;
}

// More bytes came with the last one: they are there to be read already.
bool more_typed() {
    pollfd p{keys_ended ? -1 : keyfd, POLLIN, 0};
    return !ahead.empty() || (poll(&p, 1, 0) > 0 && (p.revents & POLLIN));
}

int key_waiting(std::int64_t until) {
    for (;;) {
        // Curses takes up a new terminal size whenever it updates the screen
        // and leaves the resize event for the next read.
        if (!ahead.empty() || size_changed() || (winched && !behind) || continued) return key_held;
        // An unfinished unit is over once its wait is: the look that finds
        // that out settles it.
        std::int64_t wake = until;
        if (grammar.under_way()) {
            const std::int64_t over = unit_deadline();
            if (monotonic_ns() >= over) return key_held;
            if (until) wake = std::min(until, over); // a look that must not wait still does not
        }
        // A screen behind is sent as soon as the terminal takes output again.
        pollfd p[2] = {{keys_ended ? -1 : keyfd, POLLIN, 0},
                       {screenfd, static_cast<short>(behind ? POLLOUT : 0), 0}};
        const std::int64_t left = wake ? std::max<std::int64_t>(wake - monotonic_ns(), 0) : 0;
        const timespec t{static_cast<time_t>(left / 1000000000),
                         static_cast<long>(left % 1000000000)};
        // A new size or a continue comes in only here, so that none is
        // left waiting between the look above and this wait.
        const int n = ppoll(p, 2, wake == forever ? nullptr : &t, wait_mask());
        if (n == 0) {
            if (grammar.under_way() && wake != until) continue;
            return key_none;
        }
        if (n < 0) {
            if (errno == EINTR) continue; // a signal: a new size, say
            return key_none;
        }
        if (p[0].revents & POLLIN) return key_input;
        if (p[1].revents & POLLOUT) {
            if (!update_screen() && terminal_gone()) lose_terminal();
            continue;
        }
        if (gone(p[1].revents) || (keys_tty && gone(p[0].revents))) lose_terminal();
        keys_ended = true;                     // a pipe or file of keys came to its end
        if (until == forever) return key_none; // no key will come to wait for
    }
}

// The next key, from curses or the terminal; ERR when none was there after
// all. Input that ends without a key is at its end for good, unless it is a
// terminal, which is then gone.
int read_key(int look) {
    take_signals();
    if (continued) {
        continued = 0;
        return key_redraw;
    }
    take_new_size();
    // Curses brings the screen up to date before it reads, and would wait
    // there for a terminal that takes no output.
    if (!behind && !takes_output()) behind = true;
    if (behind && ahead.empty()) {
        char bytes[256];
        keep_ahead(bytes, read_ahead(bytes, sizeof bytes));
        if (ahead.empty()) return ERR;
    }
    if (!ahead.empty()) {
        // A new size first, as curses reports one before the keys it holds.
        if (size_changed()) return KEY_RESIZE;
        const int key = ahead.front();
        ahead.pop_front();
        return key;
    }
    const int key = wgetch(stdscr);
    prepare_farewell(); // curses takes up a new size as it reads
    if (key != ERR) return key;
    if (size_changed()) return KEY_RESIZE;
    if (look == key_input) {
        if (keys_tty && terminal_gone()) lose_terminal();
        if (!keys_tty) keys_ended = true;
    }
    return ERR;
}

std::int64_t unit_deadline() {
    return unitwhen + grammar.patience();
}

// The next key: a byte, a whole unit, KEY_RESIZE or key_redraw; ERR when
// there is none yet. A unit whose rest has not come waits for it after its
// last byte (unit_deadline), across looks, and no byte of it is ever taken
// as a key of its own. A byte that cannot go on the unit before it ends that
// unit and is read again as a key. A paste under way is read a block at a
// time, as much as is there, up to its end: what came after the end is left
// for the keys that follow. However fast a paste keeps coming, a look takes
// one block of it, and the pass and the screen go on between looks.
int next_key(int look) {
    for (;;) {
        if (grammar.pasting()) {
            static char block[1 << 16];
            if (const std::size_t len = read_ahead(block, sizeof block)) {
                unitwhen = monotonic_ns();
                for (std::size_t i = 0; i < len; ++i)
                    if (const int key =
                            grammar.feed(static_cast<unsigned char>(block[i]), true).key;
                        key >= 0) {
                        keep_ahead(block + i + 1, len - i - 1);
                        return key;
                    }
                return ERR; // the rest at the next look
            }
        }
        const int ch = read_key(look);
        if (ch == ERR) {
            if (!grammar.under_way()) return ERR;
            // Input that looks ready but gives nothing is at its end.
            if (look != key_input && key_waiting(0) == key_input) {
                look = key_input;
                continue;
            }
            if (!keys_at_end() && monotonic_ns() < unit_deadline()) return ERR;
            return grammar.wait_over();
        }
        if (ch == KEY_RESIZE || ch == key_redraw) return ch;
        const unit_step s = grammar.feed(ch, more_typed());
        if (s.again) push_key(ch);
        if (s.again == 2) push_key(27);
        if (s.key >= 0) return s.key;
        unitwhen = monotonic_ns();
        // The rest is looked for without waiting; the look also tells
        // whether the keys came to their end.
        look = key_waiting(0);
    }
}

// Curses takes up a new size as it updates the screen, and leaves the resize
// event for the next read; a size that came while the terminal takes no
// output waits for it.
void take_new_size() {
    if (!winched || behind) return;
    if (!takes_output()) {
        behind = true;
        return;
    }
    winched = 0;
    doupdate();
    prepare_farewell();
}

// No key can come any more: keys that are not a terminal came to their end.
bool keys_at_end() {
    return keys_ended && ahead.empty();
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
