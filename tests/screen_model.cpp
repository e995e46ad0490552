#include "screen_model.h"
#include "scratch.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <curses.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace kevrane::screen_model {

namespace {

constexpr int no_key = -1, unknown_seq = -2, moves = 0x100, pages = 0x200;
const char *const titles[] = {"TOTAL INTERRUPTS SINCE COMMAND START", "INTERRUPTS PER SECOND",
                              "TOTAL INTERRUPTS SINCE BOOT"};
const char *const help_lines[] = {"h            - help (this screen)",
                                  "q            - quit",
                                  "t            - toggle between total and incremental mode",
                                  "c            - specify the leftmost cpu number",
                                  "s            - specify the refresh rate",
                                  "CTL-L        - redraw screen",
                                  "HOME         - position to TOP/LEFT",
                                  "END          - position to BOTTOM/LEFT",
                                  "PAGE UP/DOWN - up/down pagesize",
                                  "Arrow keys   - position up/down/left/right",
                                  "",
                                  "    CR - to return to display"};
const char prompt_line[] = "(h)elp, (t)oggle-screens, arrows, etc";
const char clock_shape[] = "Aaa Aaa _9 99:99:99 9999";

// Bytes a terminal cannot show as themselves show as '?'.
std::string shown(std::string s) {
    for (char &c : s)
        if (c < ' ' || c > '~') c = '?';
    return s;
}

// A field of the grid: right-aligned in 12 columns, a blank before a text of
// 12 or more; left out, with all after it, if it would pass the edge.
bool add_field(std::string &line, const std::string &text, int room) {
    const std::size_t width = text.size() >= 12 ? text.size() + 1 : 12;
    if (static_cast<int>(line.size() + width) > room) return false;
    line.append(width - text.size(), ' ');
    line += text;
    return true;
}

std::int64_t per_second(std::int64_t v, double interval) {
    if (!(interval > 0)) return 0;
    const double r = v / interval + 0.5;
    if (r >= 9.2233720368547758e18) return std::numeric_limits<std::int64_t>::max();
    if (r <= -9.2233720368547758e18) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(r);
}

// What a whole escape sequence asks for.
int meaning(const std::string &s) {
    if (s.size() == 3 && (s[1] == '[' || s[1] == 'O') && std::strchr("ABCDHF", s[2]))
        return moves | s[2];
    const std::pair<const char *, int> tilde[] = {
        {"\033[5~", pages | 'A'}, {"\033[6~", pages | 'B'}, {"\033[1~", moves | 'H'},
        {"\033[7~", moves | 'H'}, {"\033[4~", moves | 'F'}, {"\033[8~", moves | 'F'}};
    for (auto &[t, k] : tilde)
        if (s == t) return k;
    return unknown_seq;
}

bool is_paste(const std::string &u) {
    return u.rfind("\033[200~", 0) == 0 || u.rfind("\033\033[200~", 0) == 0;
}

// How long the rest of a unit is waited for: a paste's bytes stop only where
// a link holds them up, for less than three seconds.
std::int64_t unit_wait(const std::string &u) {
    return is_paste(u) ? 3000000000 : esc_wait_ns;
}

// The length of the UTF-8 character a byte leads, or 1.
std::size_t utf8_length(int b) {
    return b >= 0xc2 && b <= 0xdf ? 2 : b >= 0xe0 && b <= 0xef ? 3 : b >= 0xf0 && b <= 0xf4 ? 4 : 1;
}

// What byte `b` does to the unit `u` a terminal is sending, `more` bytes
// having come with it: goes on with it, ends with it, or cannot be part of it
// (stop: the unit ends before `b`; stop_esc: before the ESC it ends with,
// which is read again with `b`; cancel: CAN or SUB end it and go).
enum { goes_on, ends, stop, stop_esc, cancel };
int next_byte(const std::string &u, int b, bool more, bool eight) {
    if ((b == 0x18 || b == 0x1a) && !is_paste(u)) return cancel;
    const auto c0 = static_cast<unsigned char>(u[0]);
    if (c0 != 27) // a UTF-8 character
        return b < 0x80 || b > 0xbf ? stop : u.size() + 1 == utf8_length(c0) ? ends : goes_on;
    if (u.size() == 1) {
        if (b == 27 || (b && std::strchr("[O", b)) || utf8_length(b) > 1) return goes_on;
        if (b && std::strchr("]PX^_", b)) return more ? goes_on : ends; // typed: Alt and a key
        return ends;                                                    // Alt and a key
    }
    if (u[1] == 27) // Alt and a whole unit
        return u.size() == 2 && b == 27 ? stop : next_byte(u.substr(1), b, more, false);
    const auto c1 = static_cast<unsigned char>(u[1]);
    if (utf8_length(c1) > 1) // Alt and a character
        return b < 0x80 || b > 0xbf ? stop : u.size() == utf8_length(c1) ? ends : goes_on;
    const std::string v = u + static_cast<char>(b);
    if (is_paste(u)) // a paste, up to its end; either form if it began with 8 bits
        return v.ends_with("\033[201~") || (eight && v.ends_with("\233201~")) ? ends : goes_on;
    if (std::strchr("]PX^_", c1)) { // a string, up to ST (or BEL after OSC)
        // Bytes of its text's UTF-8 characters are not ST.
        std::size_t rest = 0;
        for (std::size_t i = 2; i < u.size(); ++i) {
            const auto c = static_cast<unsigned char>(u[i]);
            rest = rest && c >= 0x80 && c <= 0xbf ? rest - 1 : utf8_length(c) - 1;
        }
        if (rest && b >= 0x80 && b <= 0xbf) return goes_on;
        if (u.size() > 2 && u.back() == 27) return b == '\\' ? ends : stop_esc;
        return b == 0x9c || (b == 7 && c1 == ']') ? ends : goes_on;
    }
    if (u.rfind("\033[M", 0) == 0) return u.size() == 5 ? ends : goes_on; // a click: 3 bytes
    const bool graphic = b >= 0x20 && b <= 0x7e;
    if (c1 == 'O' || u == "\033[[") return graphic ? ends : stop;
    if (u == "\033[" && (b == 'M' || b == '[')) return goes_on;
    if (b == '$' && !more) return ends; // rxvt's shifted keys
    if (b >= 0x20 && b <= 0x3f) return goes_on;
    if (b >= 0x40 && b <= 0x7e) return u + static_cast<char>(b) == "\033[200~" ? goes_on : ends;
    return stop;
}

} // namespace

// One key off the queue: a byte, or a whole unit a terminal sends (an escape
// sequence, a mouse report, a string, a paste, a UTF-8 character, Alt and a
// key); none while the queue ends inside a unit whose wait is not over. A
// byte that cannot go on a unit ends it and stays for the next key.
int model::take_key() {
    for (;;) {
        if (cont_after == 0) { // a continue, taken before the bytes after it: all drawn again
            cont_after = -1;
            if (asking != 'h') repaint(0);
        }
        const bool over = !esc.empty() && now >= escwhen + unit_wait(esc);
        if (queue.empty() && !over) return no_key;
        const int step = queue.empty() ? stop
                         : esc.empty() ? goes_on
                                       : next_byte(esc, queue.front(), queue.size() > 1, esc8);
        if ((step == cancel || step < stop) && cont_after > 0) --cont_after; // a byte read
        if (step == cancel) queue.pop_front();
        if (step >= stop) {
            if (step == stop_esc) queue.push_front(27);
            const int k = esc == "\033" ? 27 : unknown_seq;
            esc.clear();
            return k;
        }
        const int b = queue.front();
        queue.pop_front();
        const std::string c1 = "\x9b[\x90P\x9d]\x98X\x9e^\x9f_";
        if (const auto at = c1.find(static_cast<char>(b)); esc.empty() && at % 2 == 0) {
            esc = {'\033', c1[at + 1]}; // an 8-bit introducer: its 7-bit unit
            esc8 = true;
            escwhen = now;
            continue;
        }
        if (esc.empty() && b != 27 && utf8_length(b) == 1) return b;
        if (esc.empty()) esc8 = false;
        esc += static_cast<char>(b);
        escwhen = now;
        if (step == ends) {
            const int k = meaning(esc);
            esc.clear();
            return k;
        }
    }
}

void model::repaint(int code) {
    names.assign(irqnames.begin(), irqnames.begin() + numirqs);
    cpus = cpunum;
    const int page = std::max(lines - 3, 0), step = std::max((cols - 20) / 12 - 1, 0);
    const int rows = numirqs, ncpu = numcpus;
    switch (code) {
    case 0: break;
    case 'A': brow = std::max(brow - page, 0); break;
    case 'B': brow = std::max(std::min(brow + page, rows - page), 0); break;
    case 'C': bcol = std::max(std::min(bcol + step, ncpu - step), 0); break;
    case 'D': bcol = std::max(bcol - step, 0); break;
    case 'F':
        bcol = 0;
        brow = std::max(rows - page, 0);
        break;
    case 'H': brow = bcol = 0; break;
    default: ++bells;
    }
    if (page > 0 && brow >= rows && rows > 0) brow = std::max(rows - page, 0);
    hmode = mode;
    numbers = pass ? none : fresh;
}

void model::close_prompt() {
    const int kind = asking;
    asking = 0;
    const auto w = reply.find_first_not_of(' ');
    const std::string word = w == std::string::npos ? "" : reply.substr(w, reply.find(' ', w) - w);
    const long n = std::strtol(word.c_str(), nullptr, 10);
    if (kind == 'c' && !word.empty()) {
        bcol = 0;
        while (bcol < numcpus && cpunum[bcol] < n)
            ++bcol;
    }
    if (kind == 's' && !word.empty()) sleepsec = static_cast<int>(std::clamp(n, 1L, 429496729L));
    repaint(0);
}

// One key as the monitor must take it; true if it ends the pause.
bool model::handle(int key) {
    if (skip && (key == 27 || key == unknown_seq || key >= moves)) {
        skip = false;
        return false;
    }
    if (asking) {
        if (key == '\r' || key == '\n')
            close_prompt();
        else if (asking == 'h')
            ;
        else if (key == erasechar() || key == 127 || key == '\b') {
            if (!reply.empty()) reply.pop_back();
        } else if (key == 0x15) // Ctrl-U
            reply.clear();
        else if (key >= ' ' && key <= '~' && reply.size() < 83)
            reply += static_cast<char>(key);
        return false;
    }
    switch (key) {
    case unknown_seq: ++bells; return false;
    case 't':
    case '\t': mode = (mode + 1) % 3; return true;
    case 12: repaint(0); return false;
    case 27: repaint(-1); return false;
    case '5':
    case '6':
        repaint(key == '5' ? 'A' : 'B');
        if (take_key() == no_key && !esc.empty()) skip = true;
        return false;
    case 'c':
    case 's':
    case 'h':
        asking = key;
        reply.clear();
        return false;
    }
    if (key >= moves) {
        repaint(key & 0xff);
        return false;
    }
    ++bells;
    return true;
}

// Keys are read in the pause until one ends it, and at a prompt or help.
void model::read_keys() {
    while (asking || (paused && !pause_over)) {
        const int k = take_key();
        if (k == no_key) return;
        if (handle(k) && paused) pause_over = true;
    }
}

// The pass shows its mark and looks at the keyboard once as it starts (time
// stands still while it reads): one key, or a new size. A prompt or help
// opened then waits for the rest until the table is read.
void model::pass_begins(const event *early) {
    if (numbers == fresh) {
        stale_rows.clear();
        for (int r = brow; r < std::min(brow + std::max(lines - 3, 0), numirqs); ++r)
            stale_rows.push_back(number_row(r, hmode));
        numbers = stale;
    }
    pass = true;
    paused = false;
    if (early && early->lines) {
        resized(early->lines, early->cols);
        return;
    }
    if (early) queue.insert(queue.end(), early->text.begin(), early->text.end());
    if (const int k = take_key(); k != no_key) handle(k);
    after_read = asking != 0;
}

// What waited for the table to be read is read now.
void model::catch_up() {
    if (!after_read) return;
    after_read = false;
    pass = false;
    read_keys();
}

void model::pass_ends() {
    catch_up();
    pass = false;
    repaint(0); // the main loop's
}

void model::pause_begins() {
    paused = true;
    pause_over = false;
    pause_left = sleepsec * std::int64_t{1000000000};
    read_keys();
}

void model::typed(const std::string &keys) {
    queue.insert(queue.end(), keys.begin(), keys.end());
    read_keys();
}

void model::resized(int l, int c) {
    lines = l;
    cols = c;
    if (asking != 'h') repaint(0);
}

// Time spent at a prompt or help does not count against the pause.
void model::time_passes(std::int64_t ns) {
    now += ns;
    if (paused && !asking && (pause_left -= ns) <= 0) pause_over = true;
    read_keys();
}

std::int64_t model::wait_expected() const {
    std::int64_t w = asking ? -1 : paused && !pause_over ? pause_left : 0;
    if (!esc.empty()) {
        const std::int64_t left = escwhen + unit_wait(esc) - now;
        w = w < 0 ? left : std::min(w, left);
    }
    return w;
}

std::string model::number_row(int r, int m) const {
    const int cur = getix(1), ref = m == 1 ? cur ^ 1 : m == 0 ? 2 : -1;
    const double interval =
        ref >= 0 && rowtime[ref][r] ? (rowtime[cur][r] - rowtime[ref][r]) / 1e9 : 0;
    std::string line, text;
    const int room = std::max(cols - 20, 0);
    const int ecol = std::min(bcol + (cols - 20) / 12 - 1, numcpus);
    for (int c = -1; c < ecol; c = c < 0 ? bcol : c + 1) {
        const std::int64_t v = shown_count(cur, ref, r, c < 0 ? numcpus : c);
        char buf[24];
        text.assign(buf,
                    std::to_chars(buf, buf + sizeof buf, m == 1 ? per_second(v, interval) : v).ptr);
        if (!add_field(line, text, room)) break;
    }
    return line;
}

void model::draw(picture &p) const {
    p.text.resize(lines);
    p.attrs.resize(lines);
    for (int y = 0; y < lines; ++y) {
        p.text[y].assign(cols, ' ');
        p.attrs[y].assign(cols, ' ');
    }
    auto put = [&](int y, int x, const std::string &s, char a) {
        for (std::size_t i = 0; y >= 0 && y < lines && i < s.size() && x + i < std::size_t(cols);
             ++i) {
            p.text[y][x + i] = s[i];
            p.attrs[y][x + i] = a;
        }
    };
    if (asking == 'h') {
        put(2, 0, " Kevrane help:", ' ');
        for (int i = 0; i < 12; ++i)
            put(3 + i, 0, std::string("    ") + help_lines[i], ' ');
        return;
    }
    const int page = std::max(lines - 3, 0), nrows = static_cast<int>(names.size());
    const int erow = std::min(brow + page, nrows);
    const int ecol = std::min(bcol + (cols - 20) / 12 - 1, static_cast<int>(cpus.size()));
    const int prow = erow - brow + 2;

    const std::string title = shown(kname.nodename) + "   " + titles[hmode];
    put(0, 0, title, 'b');
    const int at = std::max(12 * (ecol - bcol) + 8, 0);
    put(0, static_cast<int>(title.size()) >= at ? static_cast<int>(title.size()) + 1 : at,
        clock_shape, 'c');
    std::string heads;
    bool fits = add_field(heads, "*TOTAL*", std::max(cols - 20, 0));
    for (int c = bcol; c < ecol && fits; ++c)
        fits = add_field(heads, "cpu" + std::to_string(cpus[c]), std::max(cols - 20, 0));
    put(1, 20, heads, 'b');
    for (int r = brow; r < erow; ++r) {
        std::string name = shown(names[r].c_str());
        name.resize(20, ' ');
        put(r - brow + 2, 0, name, ' ');
        if (numbers == fresh) put(r - brow + 2, 20, number_row(r, mode), ' ');
        if (numbers == stale) put(r - brow + 2, 20, stale_rows[r - brow], ' ');
    }
    if (asking) { // on the last line where there is no room for the prompt line
        const std::string q = asking == 'c' ? "Leftmost cpu? " : "Refresh rate (sec)? ";
        const int y = std::min(prow, lines - 1);
        put(y, 0, std::string(cols, ' '), ' ');
        put(y, 0, q, 'r');
        put(y, static_cast<int>(q.size()), reply, ' ');
    } else {
        put(prow, 0, prompt_line, 'r');
        if (pass) put(prow, 40, "refresh active", ' ');
    }
}

// The world: the keyboard, the terminal's size and the clock, as the model
// and the events say.

namespace {

model *world;                     // while the monitor runs in it
const std::vector<event> *script; // what happens next
std::size_t next;
int keys_in = -1, keys_out = -1; // the keyboard, a pipe
int rung;                        // bells
std::int64_t spent;              // of the `later` event under way, ns
int cont_in;                     // keys to be read before a continue comes, or 0
bool cont_pending;               // a continue came, and the terminal is not yet taken back
std::string failure, happened;   // the first difference, and what led to it

bool clock_char(char shape, char c) {
    switch (shape) {
    case 'A': return c >= 'A' && c <= 'Z';
    case 'a': return c >= 'a' && c <= 'z';
    case '9': return c >= '0' && c <= '9';
    case '_': return c == ' ' || (c >= '0' && c <= '9');
    }
    return c == shape;
}

void check(const char *where) {
    if (!failure.empty()) return;
    const model &m = *world;
    if (rung != m.bells) {
        failure = std::string(where) + ": " + std::to_string(rung) + " bells, want " +
                  std::to_string(m.bells);
    } else if (LINES != m.lines || COLS != m.cols) {
        failure = std::string(where) + ": the screen is " + std::to_string(LINES) + " x " +
                  std::to_string(COLS);
    } else {
        // Kept between checks: the fuzz target checks thousands of screens a second.
        static picture p;
        static std::vector<chtype> row;
        static std::string got;
        m.draw(p);
        row.resize(COLS + 1);
        for (int y = 0; y < LINES && failure.empty(); ++y) {
            mvwinchnstr(stdscr, y, 0, row.data(), COLS);
            got.resize(COLS);
            for (int x = 0; x < COLS; ++x)
                got[x] = static_cast<char>(row[x] & A_CHARTEXT);
            for (int x = 0; x < COLS && failure.empty(); ++x) {
                const char c = got[x], want = p.text[y][x], a = p.attrs[y][x];
                const bool bold = row[x] & A_BOLD, rev = row[x] & A_REVERSE;
                const bool ok =
                    a == 'c' ? clock_char(want, c) && bold && !rev
                             : c == want && rev == (a == 'r') && (c == ' ' || bold == (a == 'b'));
                if (!ok)
                    failure = std::string(where) + ": line " + std::to_string(y) + " column " +
                              std::to_string(x) + "\n got: '" + got + "'\nwant: '" + p.text[y] +
                              "'\nattr: '" + p.attrs[y] + "' (bold " + std::to_string(bold) +
                              ", reverse " + std::to_string(rev) + ")";
            }
        }
    }
    if (!failure.empty()) failure += "\nafter: " + happened;
}

void note(const std::string &what) {
    happened += what + " | ";
    if (happened.size() > 2000) happened.erase(0, happened.size() - 2000);
}

std::string quoted(const std::string &keys) {
    std::string s;
    for (unsigned char c : keys)
        s += c >= ' ' && c <= '~' ? std::string(1, c) : "\\" + std::to_string(c);
    return s;
}

void type(const std::string &keys) {
    note("keys " + quoted(keys));
    if (write(keys_out, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size()))
        failure = "the keyboard pipe is full";
    world->typed(keys);
}

} // namespace

void write_table(const std::string &text) {
    static int fd = -1, of = -1; // the file behind fdinp, open for writing
    if (of != fdinp) {
        if (fd >= 0) close(fd);
        of = fdinp;
        fd = open(("/proc/self/fd/" + std::to_string(of)).c_str(), O_WRONLY);
    }
    if (ftruncate(fd, 0) != 0 || pwrite(fd, text.data(), text.size(), 0) < 0) std::abort();
}

} // namespace kevrane::screen_model

using namespace kevrane::screen_model;

extern "C" {
int __real_ppoll(pollfd *, nfds_t, const timespec *, const sigset_t *);
int __real_clock_gettime(clockid_t, timespec *);
int __real_beep();
int __real_wgetch(WINDOW *);
int __real_reset_prog_mode();

// A continue (blocked until the monitor takes it) is taken before any key
// read after it.
int __wrap_wgetch(WINDOW *w) {
    if (world && cont_pending && failure.empty())
        failure = "a key was read before the continue was taken\nafter: " + happened;
    const int key = __real_wgetch(w);
    if (world && key != ERR && cont_in > 0 && --cont_in == 0) cont_pending = !raise(SIGCONT);
    return key;
}

int __wrap_reset_prog_mode() {
    cont_pending = false;
    return __real_reset_prog_mode();
}

int __wrap_clock_gettime(clockid_t id, timespec *t) {
    if (!world || id != CLOCK_MONOTONIC) return __real_clock_gettime(id, t);
    t->tv_sec = world->now / 1000000000;
    t->tv_nsec = world->now % 1000000000;
    return 0;
}

int __wrap_beep() {
    if (world) ++rung;
    return __real_beep();
}

// A look at the keyboard. Keys already typed are simply there; a look that
// finds none is where the screen must be as the model says, and a wait is
// where the world moves on.
int __wrap_ppoll(pollfd *p, nfds_t n, const timespec *t, const sigset_t *s) {
    static const timespec zero{0, 0};
    if (!world) return __real_ppoll(p, n, t, s);
    int typed = 0;
    ioctl(keys_in, FIONREAD, &typed);
    if (typed > 0) return __real_ppoll(p, n, &zero, s);
    world->catch_up();
    const std::int64_t asked = t ? t->tv_sec * std::int64_t{1000000000} + t->tv_nsec : -1;
    if (asked != 0) {
        check("waiting");
        const std::int64_t want = world->wait_expected();
        if (failure.empty() && asked != want)
            failure = "asked to wait " + std::to_string(asked) + " ns, want " +
                      std::to_string(want) + "\nafter: " + happened;
    } else if (next > 0) {
        check("looking");
    }
    if (asked == 0) return __real_ppoll(p, n, &zero, s);
    if (!failure.empty()) { // let the loop run out
        if (asked > 0) world->time_passes(asked);
        if (asked > 0) return 0;
        type("\r");
        return __real_ppoll(p, n, &zero, s);
    }
    for (; next < script->size(); ++next) {
        const event &e = (*script)[next];
        if (e.kind == event::keys) {
            if (e.text.empty()) continue;
            ++next;
            type(e.text);
            return __real_ppoll(p, n, &zero, s);
        }
        if (e.kind == event::resize) {
            if (e.lines == LINES && e.cols == COLS) continue; // no news for a terminal
            ++next;
            note("resize " + std::to_string(e.lines) + "x" + std::to_string(e.cols));
            resizeterm(e.lines, e.cols);
            world->resized(e.lines, e.cols);
            errno = EINTR;
            return -1;
        }
        if (e.kind == event::cont) {
            ++next;
            note("continue after " + std::to_string(e.ms) + " of " + quoted(e.text));
            world->cont_after = e.ms;
            cont_in = e.ms;
            if (!cont_in) cont_pending = !raise(SIGCONT);
            type(e.text);
            return __real_ppoll(p, n, &zero, s);
        }
        if (e.kind == event::later) {
            if (e.text.empty()) continue;
            const std::int64_t due = e.ms * std::int64_t{1000000} - spent;
            if (asked > 0 && due >= asked) break; // the wait runs out first
            note("after " + std::to_string(due));
            world->time_passes(due);
            spent = 0;
            ++next;
            type(e.text);
            return __real_ppoll(p, n, &zero, s);
        }
        if (asked > 0) break; // time passes: the wait runs out
        if (e.kind != event::wait) break;
    }
    if (asked < 0) { // nothing more to type: the prompt is answered
        type("\r");
        return __real_ppoll(p, n, &zero, s);
    }
    if (next < script->size() && (*script)[next].kind == event::wait) ++next;
    if (next < script->size() && (*script)[next].kind == event::later) spent += asked;
    note("wait " + std::to_string(asked));
    world->time_passes(asked);
    return 0;
}
}

namespace kevrane::screen_model {

std::string run(model &m, const std::vector<event> &events) {
    if (keyboard() < 0) return "no pipe";
    resizeterm(m.lines, m.cols);
    flushinp();
    world = &m;
    script = &events;
    next = 0;
    spent = 0;
    rung = 0;
    failure.clear();
    happened.clear();
    // The start-up, from the scanned table, as the program's own.
    mode = m.mode;
    brow = m.brow;
    bcol = m.bcol;
    sleepsec = m.sleepsec;
    asking = skipkey = 0;
    grammar = {};
    ahead.clear();
    update_header = 1;
    wclear(stdscr);
    relayout = 1; // as the scan leaves it
    scratch::start_sampler();
    m.names.assign(irqnames.begin(), irqnames.begin() + numirqs);
    m.cpus = cpunum;
    m.bells = rung;
    // The frame comes with the scan's numbers.
    m.pass_ends();
    while (failure.empty()) {
        while (next < events.size() && events[next].kind == event::table) {
            note("table");
            write_table(events[next++].text);
        }
        const event *early = nullptr;
        if (next < events.size() && events[next].kind == event::early) {
            early = &events[next++];
            if (early->lines == LINES && early->cols == COLS) {
                early = nullptr;
            } else if (early->lines) {
                note("resize as a pass starts");
                resizeterm(early->lines, early->cols);
            } else {
                note("keys as a pass starts " + quoted(early->text));
                if (write(keys_out, early->text.data(), early->text.size()) < 0) return "no write";
            }
        }
        m.pass_begins(early);
        read_input(getix(0));
        m.pass_ends();
        repaint_screen(0);
        wrefresh(stdscr);
        check("after a pass");
        if (next >= events.size() || !failure.empty()) break;
        m.pause_begins();
        do_delay();
        if (failure.empty() && !m.pause_over)
            failure = "the pause ended before its time\nafter: " + happened;
    }
    if (cont_pending && failure.empty()) failure = "a continue was never taken\nafter: " + happened;
    world = nullptr;
    cont_in = 0;
    // Nothing typed is left for whatever runs next.
    for (int left = 0; ioctl(keys_in, FIONREAD, &left) == 0 && left > 0;) {
        char buf[256];
        if (read(keys_in, buf, std::min<int>(left, sizeof buf)) <= 0) break;
    }
    flushinp();
    return failure;
}

int keyboard() {
    if (keys_in < 0) {
        int fds[2];
        if (pipe(fds) != 0) return -1;
        keys_in = fds[0];
        keys_out = fds[1];
        // A key that quits the monitor in the world would pass for a test
        // that ran to its end.
        std::atexit([] {
            if (world) std::abort();
        });
    }
    return keys_in;
}

std::string make_table(const std::function<unsigned(unsigned)> &pick, int cpus, int rows,
                       int version) {
    std::vector<long> numbers;
    for (long c = 0; static_cast<int>(numbers.size()) < cpus; c += 1 + (pick(4) == 0) * pick(3))
        numbers.push_back(c);
    std::string t = " ";
    for (long c : numbers)
        t += "      CPU" + std::to_string(c);
    t += "\n";
    const char odd[] = {'\x01', '\x7f', '\xe9', '\x1b', '\t', '\x80'};
    for (int r = 0; r < rows; ++r) {
        // every third line is there only in some versions of the table
        if (r % 3 == 2 && (version + r) % 2) continue;
        t += std::to_string(r) + ":";
        for (int c = 0; c < cpus; ++c) {
            std::string count = std::to_string(1 + pick(9));
            for (unsigned n = pick(4) == 0 ? pick(20) : pick(6); n > 0; --n)
                count += static_cast<char>('0' + pick(10));
            t += " " + std::string(count.size() < 10 ? 10 - count.size() : 0, ' ') + count;
        }
        t += "  chip ";
        if (pick(3) == 0) t += odd[pick(sizeof odd)];
        t += pick(2) ? "nvme0q" + std::to_string(r + version) : "eth" + std::to_string(r);
        if (pick(4) == 0) t += "-tx-" + std::to_string(pick(100));
        t += "\n";
    }
    return t;
}

} // namespace kevrane::screen_model
