// The program's entry: the command line, the start-up order, curses set-up
// and tear-down, and the endless cycle of sample, repaint and pause.

#include "kevrane.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <curses.h>
#include <new>
#include <poll.h>
#include <unistd.h>

namespace kevrane {

const char optstr[] = "cH";
struct utsname kname;
int sleepsec = 1;

namespace {

constexpr char table_path[] = "/proc/interrupts";
int keyboard = -1; // the terminal keys come from, when standard input is one
int display = -1;  // where the screen is written
bool keys_ended;   // standard input is not a terminal and has nothing more to give
[[noreturn]] void usage(const char *name) {
    std::printf("usage: %s %s\n", name, optstr);
    std::exit(1);
}

void sleep_ns(std::int64_t ns) {
    timespec t{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

// Waits up to ns for a key (or a change of terminal size) and leaves it for
// get_input; false when none came. A wait that ends early with no key is
// input at its end or in error: the terminal is gone, or no key can ever
// come, and the rest of the time is slept instead.
bool key_within(std::int64_t ns) {
    if (keys_ended) {
        sleep_ns(ns);
        return false;
    }
    const std::int64_t start = monotonic_ns();
    wtimeout(stdscr, static_cast<int>((ns + 999999) / 1000000));
    const int key = wgetch(stdscr);
    nodelay(stdscr, TRUE);
    if (key != ERR) {
        ungetch(key);
        return true;
    }
    if (const std::int64_t left = ns - (monotonic_ns() - start); left > 1000000) {
        if (terminal_gone()) lose_terminal();
        // A terminal is never at its end while it is there; a wait it cut
        // short (a signal) is not let run round at full speed.
        if (keyboard < 0) keys_ended = true;
        sleep_ns(keys_ended ? left : 1000000);
    }
    return false;
}

[[noreturn]] void out_of_memory() {
    if (stdscr && !isendwin()) endwin();
    std::fputs("kevrane: out of memory\n", stderr);
    std::exit(1);
}

[[noreturn]] void start(int argc, char **argv) {
    opterr = 1;
    int usages = 0;
    for (int opt; (opt = getopt(argc, argv, optstr)) != -1;) {
        if (opt == 'H')
            ++usages;
        else if (opt == 'c')
            combine = 0;
        else
            usages = 1;
    }
    if (usages) usage(argv[0]);
    if (!open_table(table_path)) {
        std::fprintf(stderr, "kevrane: cannot open %s: %s\n", table_path, std::strerror(errno));
        std::exit(1);
    }
    if (uname(&kname) != 0) std::memset(&kname, 0, sizeof kname);
    alloc_tables();
    read_input_active = 1;
    vandrel_init_curses();
    repaint_screen(0);
    read_input(getix(3));
    read_input(getix(4));
    for (;;) {
        read_input(getix(0));
        repaint_screen(0);
        if (wrefresh(stdscr) == ERR && terminal_gone()) lose_terminal();
        do_delay();
    }
}

} // namespace

// The modes the monitor runs its terminal in: keys are polled, never waited
// for, and output is never cut short to look for them.
void curses_modes() {
    keys_ended = false;
    nonl();
    noecho();
    cbreak();
    leaveok(stdscr, TRUE);
    nodelay(stdscr, TRUE);
    scrollok(stdscr, FALSE);
    typeahead(-1);
}

void vandrel_init_curses() {
    initscr();
    curses_modes();
    keyboard = isatty(STDIN_FILENO) ? STDIN_FILENO : -1;
    display = STDOUT_FILENO;
}

// The terminal hung up, or its other end is closed: its keyboard or its screen
// reports a hang-up or an error. Standard input that is not a terminal may end
// without the terminal being gone.
bool terminal_gone() {
    if (keyboard < 0 && display < 0) return false;
    pollfd p[2] = {{keyboard, 0, 0}, {display, 0, 0}};
    if (poll(p, 2, 0) <= 0) return false;
    return ((p[0].revents | p[1].revents) & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

// Nobody is left to see the screen or type: the terminal's modes are put back
// as far as it still takes them, nothing is written, and the monitor ends.
void lose_terminal() {
    reset_shell_mode();
    std::_Exit(1);
}

void vandrel_exit_curses() {
    endwin();
    std::exit(0);
}

// The pause: sleepsec seconds in steps of 200 ms, waiting on the keyboard
// rather than sleeping, so that a key is answered the moment it comes. Time
// spent handling a key (a prompt, say) is not counted against the pause.
void do_delay() {
    constexpr std::int64_t step_ns = 200000000;
    for (int n = sleepsec * 5; n > 0; --n) {
        if (get_input()) return;
        for (std::int64_t left = step_ns; left > 0;) {
            const std::int64_t start = monotonic_ns();
            const bool key = key_within(left);
            left -= monotonic_ns() - start;
            if (key && get_input()) return;
        }
    }
}

void run(int argc, char **argv) {
    try {
        start(argc, argv);
    } catch (const std::bad_alloc &) {
        out_of_memory();
    }
}

} // namespace kevrane
