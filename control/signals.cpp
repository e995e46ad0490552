// Giving the terminal back however the monitor ends, and taking up what the
// system tells it by signal: a new size, and a stop that has ended. A signal
// that ends the monitor puts the terminal's modes back and writes bytes made
// ready beforehand, both safe inside a handler; curses itself is not.

#include "kevrane.h"

#include <algorithm>
#include <cstring>
#include <curses.h>
#include <termios.h>
#include <unistd.h>

namespace kevrane {

volatile sig_atomic_t winched;
volatile sig_atomic_t continued;

namespace {

constexpr char paste_on[] = "\033[?2004h";
constexpr char paste_off[] = "\033[?2004l";
// Signals that end the monitor. Ctrl-C ends it with status 1, as curses'
// own handler did; the others end it by the same signal, so that the shell
// sees what killed it.
constexpr int ending[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGPIPE};

int ttyfd = -1;  // the terminal the screen is on
termios shell;   // its modes as the monitor found them
bool have_shell; // they could be read
bool marking;    // the terminal was asked to mark pastes
sigset_t waitmask;
bool have_waitmask;
struct sigaction curses_tstp, curses_winch; // curses' own handlers, called from ours

// The bytes that give the screen back, made ready whenever the size changes
// (a terminal without an alternate screen gets an empty bottom line, which
// depends on the size). Two copies: a signal may come while one is made.
struct farewell {
    char text[512];
    std::size_t len;
};
farewell farewells[2];
volatile sig_atomic_t ready = -1; // the copy a handler writes, or -1 for none
int madefor = -1;                 // the lines it was made for

farewell *making;

// A capability's bytes, without the delays ($<5>) that terminfo writes into
// it for terminals long gone.
void add(const char *cap) {
    if (!cap || cap == reinterpret_cast<const char *>(-1)) return;
    for (; *cap && making->len < sizeof making->text; ++cap) {
        if (cap[0] == '$' && cap[1] == '<')
            if (const char *end = std::strchr(cap, '>')) {
                cap = end;
                continue;
            }
        making->text[making->len++] = *cap;
    }
}

void write_all(const char *text, std::size_t len) {
    while (len > 0) {
        const ssize_t n = write(ttyfd, text, len);
        if (n <= 0) return; // gone, or not to be waited on now
        text += n;
        len -= static_cast<std::size_t>(n);
    }
}

void say_goodbye() {
    if (const int r = ready; r >= 0) write_all(farewells[r].text, farewells[r].len);
    if (have_shell) tcsetattr(ttyfd, TCSADRAIN, &shell);
}

void on_ending(int sig) {
    say_goodbye();
    if (sig == SIGINT) _exit(1);
    signal(sig, SIG_DFL);
    sigset_t s;
    sigemptyset(&s);
    sigaddset(&s, sig);
    sigprocmask(SIG_UNBLOCK, &s, nullptr);
    raise(sig);
    _exit(128 + sig);
}

// Curses leaves its screen on Ctrl-Z and comes back on fg; the paste marking
// goes and comes with it.
void on_stop(int sig) {
    if (marking) write_all(paste_off, sizeof paste_off - 1);
    curses_tstp.sa_handler(sig);
    if (marking) write_all(paste_on, sizeof paste_on - 1);
    continued = 1;
}

void on_winch(int sig) {
    winched = 1;
    if (curses_winch.sa_handler != SIG_DFL && curses_winch.sa_handler != SIG_IGN)
        curses_winch.sa_handler(sig);
}

void on_continue(int) {
    continued = 1;
}

bool has(const char *cap) {
    const char *s = tigetstr(cap);
    return s && s != reinterpret_cast<const char *>(-1) && *s;
}

} // namespace

// The terminal's modes before curses changes them.
void note_shell_modes(int fd) {
    ttyfd = fd;
    have_shell = tcgetattr(fd, &shell) == 0;
}

// Asks the terminal to mark pastes, where it speaks the escape sequences of
// ECMA-48 (its cursor moves start with CSI): others would show the request.
void mark_pastes() {
    const char *cup = tigetstr("cup");
    if (!cup || cup == reinterpret_cast<const char *>(-1) || std::strncmp(cup, "\033[", 2) != 0)
        return;
    marking = true;
    write_all(paste_on, sizeof paste_on - 1);
}

// Makes ready what a handler writes for the terminal's present size.
void prepare_farewell() {
    if (LINES == madefor || ttyfd < 0) return;
    madefor = LINES;
    const int spare = ready == 0 ? 1 : 0;
    making = &farewells[spare];
    making->len = 0;
    if (marking) add(paste_off);
    add(tigetstr("sgr0"));
    if (has("rmcup")) {
        add(tigetstr("rmcup"));
    } else if (has("cup")) {
        add(tiparm(tigetstr("cup"), std::max(LINES - 1, 0), 0));
        add(tigetstr("el"));
    }
    add(tigetstr("cnorm"));
    ready = spare;
}

// Handlers for the signals that end the monitor, a stop and a new size. A
// new size and a continue are let in only while the monitor waits (ppoll
// with wait_mask()), so none comes between a look and the wait after it.
void catch_signals() {
    struct sigaction sa {};
    sigemptyset(&sa.sa_mask);
    for (int sig : ending)
        sigaddset(&sa.sa_mask, sig);
    sa.sa_handler = on_ending;
    for (int sig : ending) {
        struct sigaction was;
        // A signal ignored when the monitor started (nohup) stays ignored.
        if (sigaction(sig, nullptr, &was) == 0 && was.sa_handler == SIG_IGN) continue;
        sigaction(sig, &sa, nullptr);
    }
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = on_continue;
    sigaction(SIGCONT, &sa, nullptr);
    sa.sa_handler = on_winch;
    sigaction(SIGWINCH, &sa, &curses_winch);
    // Curses stops and resumes its screen on Ctrl-Z, where job control lets it.
    if (sigaction(SIGTSTP, nullptr, &curses_tstp) == 0 && curses_tstp.sa_handler != SIG_DFL &&
        curses_tstp.sa_handler != SIG_IGN && !(curses_tstp.sa_flags & SA_SIGINFO)) {
        sa.sa_handler = on_stop;
        sa.sa_flags = SA_RESTART; // a read of the table goes on after fg
        sigaction(SIGTSTP, &sa, nullptr);
    }
    sigset_t late;
    sigemptyset(&late);
    sigaddset(&late, SIGWINCH);
    sigaddset(&late, SIGCONT);
    sigprocmask(SIG_BLOCK, &late, &waitmask);
    sigdelset(&waitmask, SIGWINCH);
    sigdelset(&waitmask, SIGCONT);
    have_waitmask = true;
    prepare_farewell();
}

const sigset_t *wait_mask() {
    return have_waitmask ? &waitmask : nullptr;
}

// Before the monitor gives the terminal back itself: no signal may write its
// farewell after curses has written its own.
void give_back_terminal() {
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, nullptr);
    if (marking) write_all(paste_off, sizeof paste_off - 1);
    // Without an alternate screen the shell goes on from the bottom line:
    // it gets an empty one.
    if (stdscr && !has("rmcup") && LINES > 0) {
        wmove(stdscr, LINES - 1, 0);
        wclrtoeol(stdscr);
        wrefresh(stdscr);
    }
    endwin();
}

} // namespace kevrane
