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
        if (held || size_changed()) return key_held;
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
        const int n = ppoll(p, 2, wake == forever ? nullptr : &t, nullptr);
        if (n == 0) {
            if (!escseq.empty() && wake != until) continue;
            return key_none;
        }
        if (n < 0) {
            if (errno == EINTR) { // a signal: a new size, say
                doupdate();
                continue;
            }
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

namespace {

// Where an escape sequence stands: the bytes read so far can be followed by
// `ch`, or `ch` cannot belong to it. A CSI sequence is ESC [, parameter and
// intermediate bytes, and a final byte; an SS3 sequence ESC O and one byte;
// the Linux console sends ESC [ [ and a letter for F1 to F5; ESC and any
// other printable byte is what Alt and that key send.
bool continues(const std::string &seq, int ch) {
    const bool graphic = ch >= 0x20 && ch <= 0x7e;
    if (seq.size() == 1) return graphic;
    if (seq[1] == '[' && seq.size() < 32) return graphic;
    return seq[1] == 'O' && seq.size() == 2 && graphic;
}

bool complete(const std::string &seq) {
    const char last = seq.back();
    if (seq.size() == 2) return seq[1] != '[' && seq[1] != 'O';
    if (seq[1] == 'O') return true;
    if (seq == "\033[[") return false;
    return (last >= 0x40 && last <= 0x7e) || seq.size() >= 32;
}

// What a whole sequence means to the monitor: the cursor keys, Home and End
// (ESC [ or ESC O and a letter), and ESC [ n ~, which most terminals send
// for the page keys (5, 6) and tmux and screen for Home (1, 7) and End (4, 8).
int sequence_key(const std::string &seq) {
    if (seq.size() == 3 && std::strchr("ABCDHF", seq[2])) return key_move | seq[2];
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

// The sequence read so far is all there will be: ESC alone, or a sequence
// cut short, which the monitor cannot know.
int unfinished() {
    const int key = escseq.size() == 1 ? 27 : key_seq;
    escseq.clear();
    return key;
}

} // namespace

std::string escseq;
std::int64_t escwhen;

// The next key: a byte, a whole escape sequence, or KEY_RESIZE; ERR when
// there is none yet. A sequence whose rest has not come waits for it up to
// esc_wait_ns, across looks, and no byte of it is ever taken as a key of its
// own. A byte that cannot go on the sequence before it ends that sequence and
// is read again as a key.
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
        if (ch == KEY_RESIZE) return ch;
        if (escseq.empty()) {
            if (ch != 27) return ch;
        } else if (!continues(escseq, ch)) {
            push_key(ch);
            return unfinished();
        }
        escseq += static_cast<char>(ch);
        escwhen = monotonic_ns();
        if (escseq.size() > 1 && complete(escseq)) {
            const int key = sequence_key(escseq);
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
