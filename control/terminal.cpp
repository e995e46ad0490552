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
        if (held || size_changed()) return key_held;
        pollfd p[2] = {{keys_ended ? -1 : keyfd, POLLIN, 0}, {screenfd, 0, 0}};
        const std::int64_t left = until ? std::max<std::int64_t>(until - monotonic_ns(), 0) : 0;
        const timespec t{static_cast<time_t>(left / 1000000000),
                         static_cast<long>(left % 1000000000)};
        const int n = ppoll(p, 2, &t, nullptr);
        if (n == 0) return key_none;
        if (n < 0) {
            if (errno == EINTR) { // a signal: a new size, say
                doupdate();
                continue;
            }
            return key_none;
        }
        if (p[0].revents & POLLIN) return key_input;
        if (gone(p[1].revents) || (keys_tty && gone(p[0].revents))) lose_terminal();
        keys_ended = true; // a pipe or file of keys came to its end
    }
}

// The next key, from curses or the terminal; ERR when none was there after
// all. Input that ends without a key is at its end for good, unless it is a
// terminal, which is then gone.
int read_key(int look) {
    const int key = wgetch(stdscr);
    held = key != ERR;
    if (key != ERR) return key;
    if (size_changed()) return KEY_RESIZE;
    if (look == key_input) {
        if (keys_tty && terminal_gone()) lose_terminal();
        if (!keys_tty) keys_ended = true;
    }
    return ERR;
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
