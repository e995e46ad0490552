// The monitor's one screen: the title line with host, mode and clock, the
// column heads, the row names, the numbers of the rows and CPU columns inside
// the view window, and the prompt line.

#include "kevrane.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <ctime>
#include <curses.h>

namespace kevrane {

int mode;

const char *const title[3] = {
    "TOTAL INTERRUPTS SINCE COMMAND START",
    "INTERRUPTS PER SECOND",
    "TOTAL INTERRUPTS SINCE BOOT",
};
const char prompt_line[] = "(h)elp, (t)oggle-screens, arrows, etc";
const char mark_text[] = "refresh active";

namespace {

constexpr int namecols = 20;
constexpr int fieldcols = 12;
constexpr int markcol = 40;

// A field right-aligned in 12 columns; a text of 12 or more gets one blank
// before it, so that it never runs into the name or number before it. A
// field that would pass `room` is left out whole, and so is every one after
// it: a number cut at the edge would read as another number. False once one
// is left out.
bool append_field(std::string &out, const char *text, std::size_t room) {
    const std::size_t len = std::strlen(text);
    const std::size_t width = len >= fieldcols ? len + 1 : fieldcols;
    if (out.size() + width > room) return false;
    out.append(width - len, ' ');
    out += text;
    return true;
}

bool append_field(std::string &out, std::int64_t v, std::size_t room) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%" PRId64, v);
    return append_field(out, buf, room);
}

} // namespace

// Per-second rate rounded by adding one half and truncating. No interval (no
// reference sample) gives 0, and a rate past the 64-bit range stops at its
// limit.
std::int64_t rate(std::int64_t value, double interval) {
    if (!(interval > 0)) return 0;
    double r = value / interval + 0.5;
    if (std::isnan(r)) return 0;
    if (r >= 9223372036854775807.0) return std::numeric_limits<std::int64_t>::max();
    if (r <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(r);
}

// Seconds between the moments a row's line was printed for two samples, on
// the monotonic clock: a row read late in a slow pass is rated over its own
// interval, whatever was painted between them and however long the pass.
// 0 when the row was never read into the reference.
double row_interval(int cur, int ref, int row) {
    if (ref < 0 || !rowtime[ref][row]) return 0;
    return static_cast<double>(rowtime[cur][row] - rowtime[ref][row]) / 1e9;
}

void print_header() {
    wattrset(stdscr, A_BOLD);
    update_header = 0;
    clear_eol(0, 0);
    put_text(0, 0, std::string(kname.nodename) + "   " + title[mode]);

    std::string heads;
    char buf[40];
    const std::size_t room = COLS > namecols ? COLS - namecols : 0;
    bool fits = append_field(heads, "*TOTAL*", room);
    for (int c = bcol; c < ecol && fits; ++c) {
        std::snprintf(buf, sizeof buf, "cpu%ld", cpunum[c]);
        fits = append_field(heads, buf, room);
    }
    put_text(1, namecols, heads);
    clear_eol(1, namecols + static_cast<int>(heads.size()));
    wattrset(stdscr, A_NORMAL);

    for (int r = brow; r < brow + LINES - 3; ++r) {
        int y = r - brow + 2;
        if (r < erow) {
            std::snprintf(buf, sizeof buf, "%-*s", namecols, irqnames[r].c_str());
            put_text(y, 0, buf, namecols);
            clear_eol(y, namecols);
        } else {
            clear_eol(y, 0);
        }
    }

    wattrset(stdscr, A_REVERSE);
    put_text(prow, 0, prompt_line, sizeof prompt_line - 1);
    wattrset(stdscr, A_NORMAL);
}

namespace {

// The clock ends with the last CPU field shown, unless the title reaches
// that far (a long node name, or few columns): then it stands one blank past
// the title, which says what the numbers are and is never covered.
int clock_col() {
    const int col = std::max(fieldcols * (ecol - bcol) + 8, 0);
    const int titlelen =
        static_cast<int>(std::strlen(kname.nodename) + 3 + std::strlen(title[mode]));
    return titlelen >= col ? titlelen + 1 : col;
}

} // namespace

void print_timestamp() {
    wattrset(stdscr, A_BOLD);
    std::time_t now = std::time(nullptr);
    const char *clock = std::ctime(&now);
    if (clock) put_text(0, clock_col(), clock, 24);
    wattrset(stdscr, A_NORMAL);
}

void print_data() {
    const int cur = getix(1);
    const int ref = getix(2);
    const std::size_t room = COLS > namecols ? COLS - namecols : 0;
    std::string line;
    for (int r = brow; r < erow; ++r) {
        const int y = r - brow + 2;
        if (y >= LINES) break;
        const double interval = mode == 1 ? row_interval(cur, ref, r) : 0;
        auto value = [&](int c) {
            const std::int64_t v = shown_count(cur, ref, r, c);
            return mode == 1 ? rate(v, interval) : v;
        };
        line.clear();
        bool fits = append_field(line, value(numcpus), room);
        for (int c = bcol; c < ecol && fits; ++c)
            fits = append_field(line, value(c), room);
        put_text(y, namecols, line);
        // What a wider row or one with more fields left behind.
        clear_eol(y, namecols + static_cast<int>(line.size()));
    }
}

void repaint_screen(int code) {
    resize_screen(code);
    if (update_header) print_header();
    print_timestamp();
    if (read_input_active)
        put_text(prow, markcol, mark_text, sizeof mark_text - 1);
    else
        print_data();
}

// The mark goes out to the terminal at once: a pass may be long.
void show_mark() {
    clear_eol(prow, markcol);
    put_text(prow, markcol, mark_text, sizeof mark_text - 1);
    if (stdscr) update_screen();
}

void clear_mark() {
    clear_eol(prow, markcol);
}

} // namespace kevrane
