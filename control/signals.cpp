// Giving the terminal back however the monitor ends, and taking up what the
// system tells it by signal: a new size, a stop, a continue. A signal that
// ends the monitor puts the terminal's modes back and writes bytes made ready
// beforehand, both safe inside a handler; curses itself is not. The monitor
// touches the terminal only while it is in the terminal's foreground: once
// the shell has taken it back (a stop, a job ended from the shell) it is the
// shell's, modes and all.

#include "kevrane.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <curses.h>
#include <fcntl.h>
#include <poll.h>
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
// Faults and aborts: the terminal is given back, then the signal does what
// it did before (a core, or a sanitizer's report).
constexpr int crashes[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGSYS};
// How long a farewell waits for a terminal that takes no more output (one
// stopped with Ctrl-S): no way out waits on it.
constexpr int write_wait_ms = 250;

int modefd = -1; // the terminal whose modes curses sets
int outfd = -1;  // where the screen is drawn
termios shell;   // the terminal's modes as the monitor found them
bool have_shell; // they could be read
bool marking;    // the terminal was asked to mark pastes
sigset_t waitmask;
bool have_waitmask;
struct sigaction curses_tstp, curses_winch; // curses' own handlers, called from ours
struct sigaction before_crash[std::size(crashes)];

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

// Writes to the screen what it takes, waiting at most write_wait_ms at a
// time for room. Safe in a handler.
void write_all(const char *text, std::size_t len) {
    const int flags = fcntl(outfd, F_GETFL);
    if (flags < 0) return;
    fcntl(outfd, F_SETFL, flags | O_NONBLOCK);
    while (len > 0) {
        const ssize_t n = write(outfd, text, len);
        if (n > 0) {
            text += n;
            len -= static_cast<std::size_t>(n);
            continue;
        }
        pollfd p{outfd, POLLOUT, 0};
        if (n < 0 && (errno == EINTR || (errno == EAGAIN && poll(&p, 1, write_wait_ms) > 0)))
            continue;
        break; // gone, or taking nothing
    }
    fcntl(outfd, F_SETFL, flags);
}

// The monitor's process group has the terminal. Safe in a handler.
bool own_terminal() {
    const int saved = errno;
    const pid_t front = tcgetpgrp(modefd);
    const bool own = front < 0 ? errno == ENOTTY : front == getpgrp(); // no terminal: nobody's
    errno = saved;
    return own;
}

// Output stopped (Ctrl-S, or tcflow) would hold the farewell, and leave the
// terminal as the monitor had it: it goes on. Ctrl-S is undone only by
// Ctrl-Q, or by flow control turned off; the shell's modes turn it on again.
void start_output() {
    termios now;
    if (tcgetattr(modefd, &now) == 0 && (now.c_iflag & IXON)) {
        now.c_iflag &= ~IXON;
        tcsetattr(modefd, TCSANOW, &now);
    }
    tcflow(modefd, TCOON);
}

void say_goodbye() {
    if (!own_terminal()) return; // the shell's, as it set it
    start_output();
    if (const int r = ready; r >= 0) write_all(farewells[r].text, farewells[r].len);
    if (have_shell) tcsetattr(modefd, TCSANOW, &shell);
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

void on_crash(int sig, siginfo_t *info, void *) {
    say_goodbye();
    for (std::size_t i = 0; i < std::size(crashes); ++i)
        if (crashes[i] == sig) sigaction(sig, &before_crash[i], nullptr);
    // A signal sent (an abort) is sent again, to come once the handler
    // returns; a fault comes again as the instruction runs again.
    if (info->si_code <= 0) raise(sig);
}

// Curses leaves its screen on Ctrl-Z and comes back on fg; the paste marking
// goes with it, and comes back with the rest of the monitor's terminal.
void on_stop(int sig) {
    if (marking) write_all(paste_off, sizeof paste_off - 1);
    curses_tstp.sa_handler(sig);
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

// The terminal the screen goes to, and its modes before curses changes them:
// those of the terminal curses sets, the screen's, or where that is not a
// terminal the one on standard error, as curses has it.
void note_shell_modes(int screen) {
    outfd = screen;
    modefd = isatty(screen) ? screen : STDERR_FILENO;
    have_shell = tcgetattr(modefd, &shell) == 0;
}

// Asks the terminal to mark pastes, where the screen is a terminal that
// speaks the escape sequences of ECMA-48 (its cursor moves start with CSI):
// others would show the request, and a file has no pastes.
void mark_pastes() {
    const char *cup = tigetstr("cup");
    if (!isatty(outfd) || !cup || cup == reinterpret_cast<const char *>(-1) ||
        std::strncmp(cup, "\033[", 2) != 0)
        return;
    marking = true;
    write_all(paste_on, sizeof paste_on - 1);
}

// Makes ready what a handler writes for the terminal's present size.
void prepare_farewell() {
    if (LINES == madefor || outfd < 0) return;
    madefor = LINES;
    const int spare = ready == 0 ? 1 : 0;
    making = &farewells[spare];
    making->len = 0;
    if (marking) add(paste_off);
    add(tigetstr("sgr0"));
    if (has("csr")) add(tiparm(tigetstr("csr"), 0, std::max(LINES - 1, 0)));
    if (has("rmcup")) {
        add(tigetstr("rmcup"));
    } else if (has("cup")) {
        add(tiparm(tigetstr("cup"), std::max(LINES - 1, 0), 0));
        add(tigetstr("el"));
    }
    add(tigetstr("cnorm"));
    ready = spare;
}

// Handlers for the signals that end the monitor, faults, a stop, a continue
// and a new size. A new size, a stop and a continue are let in only while
// the monitor waits (ppoll with wait_mask()): none comes between a look and
// the wait after it, nor in the middle of a screen update. A handler that
// ends the monitor lets no other in.
void catch_signals() {
    struct sigaction sa {};
    sigfillset(&sa.sa_mask);
    sa.sa_handler = on_ending;
    for (int sig : ending) {
        struct sigaction was;
        // A signal ignored when the monitor started (nohup) stays ignored.
        if (sigaction(sig, nullptr, &was) == 0 && was.sa_handler == SIG_IGN) continue;
        sigaction(sig, &sa, nullptr);
    }
    sa.sa_sigaction = on_crash;
    sa.sa_flags = SA_SIGINFO;
    for (std::size_t i = 0; i < std::size(crashes); ++i)
        sigaction(crashes[i], &sa, &before_crash[i]);
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sa.sa_handler = on_continue;
    sigaction(SIGCONT, &sa, nullptr);
    sa.sa_handler = on_winch;
    sigaction(SIGWINCH, &sa, &curses_winch);
    // Curses stops and resumes its screen on Ctrl-Z, where job control lets it.
    if (sigaction(SIGTSTP, nullptr, &curses_tstp) == 0 && curses_tstp.sa_handler != SIG_DFL &&
        curses_tstp.sa_handler != SIG_IGN && !(curses_tstp.sa_flags & SA_SIGINFO)) {
        sa.sa_handler = on_stop;
        sigaction(SIGTSTP, &sa, nullptr);
    }
    sigset_t late;
    sigemptyset(&late);
    for (int sig : {SIGWINCH, SIGCONT, SIGTSTP})
        sigaddset(&late, sig);
    sigprocmask(SIG_BLOCK, &late, &waitmask);
    for (int sig : {SIGWINCH, SIGCONT, SIGTSTP})
        sigdelset(&waitmask, sig);
    have_waitmask = true;
    prepare_farewell();
}

const sigset_t *wait_mask() {
    return have_waitmask ? &waitmask : nullptr;
}

// After a stop the shell had the terminal, with its own modes, paste marking
// and cursor: the monitor takes its own again before anything else. Continued
// in the background, it is stopped by the system as it sets its modes, until
// it is brought to the foreground.
void take_back_terminal() {
    reset_prog_mode();
    if (marking) write_all(paste_on, sizeof paste_on - 1);
    // Curses holds the cursor hidden still: it is shown and hidden again.
    if (curs_set(1) == 0) curs_set(0);
}

// The monitor ends: the farewell a handler would write, with no signal let
// in after it. Curses' own leaving would wait on a terminal that takes no
// output.
void give_back_terminal() {
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, nullptr);
    prepare_farewell();
    say_goodbye();
}

} // namespace kevrane
