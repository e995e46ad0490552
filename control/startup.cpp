// The program's entry: the command line, the start-up order, curses set-up
// and tear-down, and the endless cycle of sample, repaint and pause.

#include "kevrane.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <curses.h>
#include <new>
#include <unistd.h>

namespace kevrane {

const char optstr[] = "cH";
struct utsname kname;
int sleepsec = 1;

namespace {

constexpr char table_path[] = "/proc/interrupts";

[[noreturn]] void usage(const char *name) {
    std::printf("usage: %s %s\n", name, optstr);
    std::exit(1);
}

[[noreturn]] void out_of_memory() {
    if (stdscr && !isendwin()) give_back_terminal();
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
    start_curses();
    first_sample();
    for (;;) {
        read_input(getix(0));
        repaint_screen(0);
        if (!update_screen() && terminal_gone()) lose_terminal();
        do_delay();
    }
}

} // namespace

// The modes the monitor runs its terminal in: keys are polled, never waited
// for, and output is never cut short to look for them.
void curses_modes() {
    nonl();
    noecho();
    cbreak();
    leaveok(stdscr, TRUE);
    nodelay(stdscr, TRUE);
    scrollok(stdscr, FALSE);
    typeahead(-1);
}

// Until curses has once been left and come back to, it writes every move of
// the cursor to the terminal on its own, a system call each: several hundred
// for one screen of numbers. Leaving before anything is drawn costs nothing
// to see, and the first refresh comes back with the terminal's modes.
void leave_initial_state() {
    endwin();
}

// The monitor draws by placing the cursor: a terminal that cannot (TERM=dumb,
// a printing terminal) would get its lines written over each other, so it is
// refused before anything is drawn, as is a type with no description.
void start_curses() {
    const char *term = std::getenv("TERM");
    if (!term || !*term) {
        std::fputs("kevrane: TERM is not set: no terminal type to draw on\n", stderr);
        std::exit(1);
    }
    note_shell_modes(STDOUT_FILENO);
    catch_stops();
    SCREEN *s = newterm(nullptr, stdout, stdin);
    if (!s) {
        std::fprintf(stderr, "kevrane: unknown terminal type '%s'\n", term);
        std::exit(1);
    }
    const char *cup = tigetstr("cup");
    if (!cup || cup == reinterpret_cast<char *>(-1)) {
        reset_shell_mode(); // nothing has been drawn, nor is to be
        std::fprintf(stderr, "kevrane: terminal type '%s' cannot place the cursor\n", term);
        std::exit(1);
    }
    curses_modes();
    note_own_modes();
    curs_set(0);
    watch_terminal(STDIN_FILENO, STDOUT_FILENO);
    leave_initial_state();
    mark_pastes();
    catch_signals();
}

// The frame with the first numbers, which the scan took: since boot as
// read, since start and per second 0 until the next sample, which follows at
// once. The tests start the sampler through it too.
void first_sample() {
    read_input_active = 0;
    repaint_screen(0);
}

void end_curses() {
    give_back_terminal();
    std::exit(0);
}

// The pause: sleepsec seconds, waiting on the keyboard rather than sleeping,
// so that a key is answered the moment it comes. It is timed on the monotonic
// clock, which a step of the wall clock does not move; the time spent
// handling a key (a prompt, say) is not counted against it.
void do_delay() {
    std::int64_t end = monotonic_ns() + sleepsec * std::int64_t{1000000000};
    for (int look; (look = key_waiting(end)) != key_none;) {
        const std::int64_t start = monotonic_ns();
        if (answer_key(look)) return;
        end += monotonic_ns() - start;
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
