// The keyboard commands: one pending key at a time, looked for from the pause
// and from the sampler once a millisecond, so keys are answered even in the
// middle of a long read. Only the prompts and the help screen wait.

#include "kevrane.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <curses.h>

namespace kevrane {

const char *const help[13] = {
    "h            - help (this screen)",
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
    "    CR - to return to display",
    nullptr,
};

namespace {

constexpr int replysize = 84;
constexpr char help_title[] = " Kevrane help:";
constexpr char leftmost_prompt[] = "Leftmost cpu? ";
constexpr char interval_prompt[] = "Refresh rate (sec)? ";

// Reads the operator's line, waiting for it, and keeps its first word. The
// line is read key by key rather than with curses' line reader, which turns
// off the terminal's interrupt key while it waits: Ctrl-C must still end the
// program here. What is typed is echoed, the erase and kill keys edit it, and
// a line longer than the buffer is cut to fit.
std::string read_reply() {
    std::string line;
    int y, x;
    getyx(stdscr, y, x);
    nodelay(stdscr, FALSE);
    for (;;) {
        const int ch = wgetch(stdscr);
        if (ch == ERR && terminal_gone()) lose_terminal();
        if (ch == ERR || ch == '\n' || ch == '\r') break;
        if (ch == erasechar() || ch == 127 || ch == '\b') {
            if (!line.empty()) line.pop_back();
        } else if (ch == killchar()) {
            line.clear();
        } else if (ch >= ' ' && ch <= '~' && line.size() < replysize - 1) {
            line += static_cast<char>(ch);
        } else {
            continue;
        }
        clear_eol(y, x);
        put_text(y, x, line);
    }
    nodelay(stdscr, TRUE);
    const auto w = line.find_first_not_of(' ');
    if (w == std::string::npos) return {};
    return line.substr(w, line.find(' ', w) - w);
}

std::string prompt(const char *text) {
    clear_eol(prow, 0);
    wattrset(stdscr, A_REVERSE);
    put_text(prow, 0, text, static_cast<int>(std::strlen(text)));
    wattrset(stdscr, A_NORMAL);
    if (prow >= 0 && prow < LINES)
        wmove(stdscr, prow, std::min(static_cast<int>(std::strlen(text)), COLS - 1));
    wrefresh(stdscr);
    return read_reply();
}

// The reply names a CPU number: the first column whose CPU is at or above it
// is shown first, so offline CPUs (missing columns) do not shift the choice.
void ask_leftmost() {
    std::string reply = prompt(leftmost_prompt);
    wclear(stdscr);
    if (reply.empty()) {
        repaint_screen(0);
        return;
    }
    const long want = std::strtol(reply.c_str(), nullptr, 10);
    int c = 0;
    while (c < numcpus && cpunum[c] < want)
        ++c;
    bcol = c;
    repaint_screen(1);
}

void ask_interval() {
    std::string reply = prompt(interval_prompt);
    if (!reply.empty()) {
        const long n = std::strtol(reply.c_str(), nullptr, 10);
        sleepsec = n < 1 ? 1 : n > max_sleepsec ? max_sleepsec : static_cast<int>(n);
    }
    wclear(stdscr);
    repaint_screen(0);
}

void show_help() {
    wclear(stdscr);
    if (LINES > 2) {
        wmove(stdscr, 2, 0);
        wclrtobot(stdscr);
    }
    int y = 2;
    put_text(y++, 0, help_title, sizeof help_title - 1);
    for (const char *const *h = help; *h; ++h)
        put_text(y++, 0, std::string("    ") + *h);
    if (y < LINES) wmove(stdscr, y, 0);
    wrefresh(stdscr);
    read_reply();
    wclear(stdscr);
    repaint_screen(0);
}

// ESC [ n ~ is what most terminals send for the page keys (5, 6) and what
// tmux and screen send for Home (1, 7) and End (4, 8).
int tilde_code(int digit) {
    switch (digit) {
    case '5': return 'A';
    case '6': return 'B';
    case '1':
    case '7': return 'H';
    case '4':
    case '8': return 'F';
    }
    return 0;
}

void escape_sequence() {
    int first = wgetch(stdscr);
    int second = wgetch(stdscr);
    if (first == '[' && tilde_code(second)) {
        int third = wgetch(stdscr);
        if (third == '~') {
            int code = tilde_code(second);
            // The page keys move without clearing, as 5 and 6 do.
            if (code != 'A' && code != 'B') wclear(stdscr);
            repaint_screen(code);
            return;
        }
        if (third != ERR) push_key(third);
    }
    wclear(stdscr);
    repaint_screen(second);
}

} // namespace

// Carries out the command of the key a look found, if one is there after all.
int answer_key(int look) {
    const int key = read_key(look);
    if (key == ERR) return 0;
    update_header = 1;
    switch (key) {
    case '\t':
    case 't': mode = (mode + 1) % 3; break;
    case 12:
        wclear(stdscr);
        wrefresh(stdscr);
        repaint_screen(0);
        break;
    case 27: escape_sequence(); break;
    case '5':
    case '6':
        repaint_screen(key == '5' ? 'A' : 'B');
        wgetch(stdscr);
        break;
    case 'c': ask_leftmost(); break;
    case 'h': show_help(); break;
    case 'q': vandrel_exit_curses();
    case 's': ask_interval(); break;
    case KEY_RESIZE: repaint_screen(0); break; // curses reports a new size; not a key
    default: beep();
    }
    wrefresh(stdscr); // what the key repainted shows at once
    return update_header;
}

int get_input() {
    const int look = key_waiting(0);
    return look == key_none ? 0 : answer_key(look);
}

} // namespace kevrane
