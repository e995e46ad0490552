// Giving the terminal back however the monitor ends, and taking up what the
// system tells it by signal: a new size, a stop, a continue. A signal that
// ends the monitor puts the terminal's modes back and writes bytes made ready
// beforehand, both safe inside a handler; curses itself is not. The screen
// comes down only where it is still up: after Ctrl-Z it is down already, and
// after a stop from outside it is up even though the shell has the terminal.
// The terminal's modes are set only in its foreground: otherwise they are the
// shell's. The modes given back are the shell's as the monitor last found
// them: at start-up, or as a continue finds them.

#include "kevrane.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <curses.h>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
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
int ownfd = -1;  // the same terminal opened again, non-blocking, for the monitor alone
termios shell;   // the terminal's modes as the shell left them
bool have_shell; // they could be read
termios ours;    // the monitor's own modes, as curses sets them
bool have_ours;
bool marking; // the terminal was asked to mark pastes
sigset_t waitmask;
bool have_waitmask;
constexpr int late[] = {SIGWINCH, SIGCONT, SIGTSTP}; // let in only while the monitor waits
// The screen is up: drawn, or to be drawn, on the terminal. Ctrl-Z takes it
// down until the monitor is brought back.
volatile sig_atomic_t screen_up;
// Handlers run here, so that a stack overflow too gives the terminal back.
alignas(16) char altstack[64 * 1024];
struct sigaction curses_winch; // curses' own handler, called from ours
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
// time for room. Safe in a handler. The waits are on the monitor's own open
// file, so that no flag is ever set on the one it shares with the shell.
// Where the terminal cannot be opened again (another user's), the shared one
// is made non-blocking for the write, with no signal let in until its flags
// are back.
void write_all(const char *text, std::size_t len) {
    const bool shared = ownfd < 0;
    int fd = ownfd, flags = -1;
    sigset_t was;
    if (shared) {
        sigset_t all;
        sigfillset(&all);
        sigprocmask(SIG_BLOCK, &all, &was);
        fd = outfd;
        flags = fcntl(fd, F_GETFL);
        if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) len = 0;
    }
    while (len > 0) {
        const ssize_t n = write(fd, text, len);
        if (n > 0) {
            text += n;
            len -= static_cast<std::size_t>(n);
            continue;
        }
        pollfd p{fd, POLLOUT, 0};
        if (n < 0 && (errno == EINTR || (errno == EAGAIN && poll(&p, 1, write_wait_ms) > 0)))
            continue;
        break; // gone, or taking nothing
    }
    if (!shared) return;
    if (flags >= 0) fcntl(fd, F_SETFL, flags);
    sigprocmask(SIG_SETMASK, &was, nullptr);
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
// Ctrl-Q, or by flow control turned off, here for a moment: the modes stay.
void start_output() {
    termios now;
    if (tcgetattr(modefd, &now) == 0 && (now.c_iflag & IXON)) {
        termios off = now;
        off.c_iflag &= ~IXON;
        tcsetattr(modefd, TCSANOW, &off);
        tcsetattr(modefd, TCSANOW, &now);
    }
    tcflow(modefd, TCOON);
}

// What a way out leaves: the screen taken down where it is still up, even
// with the shell in the foreground, and output going and the modes put back
// where the monitor has the terminal. SIGTTOU is ignored, so that the write
// goes through with tostop set: the caller blocks it too, but an emulator
// (qemu-user) may not pass a blocked signal on to the system.
void say_goodbye() {
    const bool own = own_terminal();
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGTTOU, &ignore, nullptr);
    if (own) start_output();
    if (const int r = ready; r >= 0 && screen_up) write_all(farewells[r].text, farewells[r].len);
    if (own && have_shell) tcsetattr(modefd, TCSANOW, &shell);
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
    const int saved = errno;
    say_goodbye();
    for (std::size_t i = 0; i < std::size(crashes); ++i)
        if (crashes[i] == sig) sigaction(sig, &before_crash[i], nullptr);
    // A fault comes again as the instruction runs again; a signal that was
    // sent (an abort), or a call that seccomp refused, would not: it is sent
    // again, to come once the handler returns.
    if (info->si_code <= 0 || sig == SIGSYS) raise(sig);
    errno = saved;
}

void on_winch(int sig) {
    const int saved = errno;
    winched = 1;
    if (curses_winch.sa_handler != SIG_DFL && curses_winch.sa_handler != SIG_IGN)
        curses_winch.sa_handler(sig);
    errno = saved;
}

bool same_modes(const termios &a, const termios &b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

// What the monitor finds as it goes on after a stop. The terminal's modes
// are the shell's as it left them (changed with stty, say), to be given back
// at the end; unless they are the monitor's own, as a stop from outside
// leaves them where no shell took the terminal. And the terminal may have
// another size: a resize while the shell had the terminal told the shell.
void went_on() {
    continued = 1;
    termios now;
    if (have_ours && own_terminal() && tcgetattr(modefd, &now) == 0 && !same_modes(now, ours)) {
        sigset_t all, was; // no way out reads them half written
        sigfillset(&all);
        sigprocmask(SIG_BLOCK, &all, &was);
        shell = now;
        have_shell = true;
        def_shell_mode(); // curses gives them back at the next stop
        sigprocmask(SIG_SETMASK, &was, nullptr);
    }
    winsize ws;
    if (outfd >= 0 && ioctl(outfd, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0 && ws.ws_col > 0 &&
        (ws.ws_row != LINES || ws.ws_col != COLS))
        on_winch(SIGWINCH);
}

// Ctrl-Z: the screen comes down, paste marking with it, the monitor stops,
// and as it goes on it takes the terminal back and draws everything again.
// The handler runs only while the monitor waits, never in the middle of an
// update of the screen, so it may call curses. A way out while stopped finds
// the screen down, and writes nothing. Output stopped with Ctrl-S goes again
// first, as the terminal has it for Ctrl-Z, so that the screen is given back
// before the monitor stops, whoever sent it.
void on_stop(int) {
    const int saved = errno;
    if (own_terminal()) start_output();
    if (marking) write_all(paste_off, sizeof paste_off - 1);
    screen_up = 0;
    endwin();
    struct sigaction stop {
    }, was;
    stop.sa_handler = SIG_DFL;
    sigaction(SIGTSTP, &stop, &was);
    sigset_t tstp;
    sigemptyset(&tstp);
    sigaddset(&tstp, SIGTSTP);
    raise(SIGTSTP);
    sigprocmask(SIG_UNBLOCK, &tstp, nullptr); // stopped here, until continued
    sigprocmask(SIG_BLOCK, &tstp, nullptr);
    sigaction(SIGTSTP, &was, nullptr);
    flushinp();
    screen_up = 1;
    went_on();
    errno = saved;
}

void on_continue(int) {
    const int saved = errno;
    went_on();
    errno = saved;
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
    if (isatty(screen))
        ownfd = open(("/proc/self/fd/" + std::to_string(screen)).c_str(),
                     O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

// The modes curses has set: a continue that finds them finds no shell's.
void note_own_modes() {
    have_ours = tcgetattr(modefd, &ours) == 0;
}

// Ctrl-Z is the monitor's own from before curses starts, blocked until the
// monitor waits. Curses would otherwise ignore it for the length of every
// update of the screen, which throws away a stop that came before the update
// (one that comes with Ctrl-Q after Ctrl-S, say). Where the monitor started
// with it ignored, there is no job control, and it stays ignored.
void catch_stops() {
    struct sigaction was;
    if (sigaction(SIGTSTP, nullptr, &was) != 0 || was.sa_handler != SIG_DFL) return;
    sigset_t tstp;
    sigemptyset(&tstp);
    sigaddset(&tstp, SIGTSTP);
    sigprocmask(SIG_BLOCK, &tstp, nullptr);
    struct sigaction sa {};
    sigemptyset(&sa.sa_mask);
    sigaddset(&sa.sa_mask, SIGWINCH);
    sa.sa_handler = on_stop;
    sigaction(SIGTSTP, &sa, nullptr);
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
    // A sanitizer's own stack, where one is set up, is kept: its report
    // needs more room than ours.
    stack_t alt;
    if (sigaltstack(nullptr, &alt) == 0 && (alt.ss_flags & SS_DISABLE)) {
        alt.ss_sp = altstack;
        alt.ss_size = sizeof altstack;
        alt.ss_flags = 0;
        sigaltstack(&alt, nullptr);
    }
    sa.sa_sigaction = on_crash;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    for (std::size_t i = 0; i < std::size(crashes); ++i)
        sigaction(crashes[i], &sa, &before_crash[i]);
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sa.sa_handler = on_continue;
    sigaction(SIGCONT, &sa, nullptr);
    sa.sa_handler = on_winch;
    sigaction(SIGWINCH, &sa, &curses_winch);
    sigset_t held;
    sigemptyset(&held);
    for (int sig : late)
        sigaddset(&held, sig);
    sigprocmask(SIG_BLOCK, &held, &waitmask);
    for (int sig : late)
        sigdelset(&waitmask, sig);
    have_waitmask = true;
    screen_up = 1;
    prepare_farewell();
}

const sigset_t *wait_mask() {
    return have_waitmask ? &waitmask : nullptr;
}

// A stop, continue or new size that came while the monitor was busy is taken
// now, before any key typed after it: a wait that finds keys ready returns
// without letting in the signals it would.
void take_signals() {
    sigset_t pending, was;
    if (!have_waitmask || sigpending(&pending) != 0) return;
    for (int sig : late)
        if (sigismember(&pending, sig)) {
            sigprocmask(SIG_SETMASK, &waitmask, &was);
            sigprocmask(SIG_SETMASK, &was, nullptr);
            return;
        }
}

// After a stop the shell had the terminal, with its own modes, paste marking
// and cursor: the monitor takes its modes again before anything else, and
// the rest with the next update of the screen, once the terminal takes
// output. Continued in the background, it is stopped by the system as it
// sets its modes, until it is brought to the foreground.
void take_back_terminal() {
    reset_prog_mode();
    owe_terminal(marking ? paste_on : "");
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
