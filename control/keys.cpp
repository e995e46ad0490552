// The keyboard commands: one pending key at a time, looked for from the pause
// and from the sampler once a millisecond, so keys are answered even in the
// middle of a long read. Only the prompts and the help screen wait, and never
// in the middle of a pass.

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

int asking;
std::string reply;
int skipkey;

namespace {

constexpr int replysize = 84;
constexpr char help_title[] = " Kevrane help:";
constexpr char leftmost_prompt[] = "Leftmost cpu? ";
constexpr char interval_prompt[] = "Refresh rate (sec)? ";

// The prompt line with the question and what has been typed after it; on a
// terminal too short for it, the last line.
void draw_prompt() {
    const char *text = asking == 'c' ? leftmost_prompt : interval_prompt;
    const int len = static_cast<int>(std::strlen(text));
    const int y = std::min(prow, LINES - 1);
    clear_eol(y, 0);
    wattrset(stdscr, A_REVERSE);
    put_text(y, 0, text, len);
    wattrset(stdscr, A_NORMAL);
    put_text(y, len, reply);
    // The cursor stands where the next key typed will go.
    if (y >= 0) wmove(stdscr, y, std::min(len + static_cast<int>(reply.size()), COLS - 1));
}

void draw_help() {
    wclear(stdscr);
    int y = 2;
    put_text(y++, 0, help_title, sizeof help_title - 1);
    for (const char *const *h = help; *h; ++h)
        put_text(y++, 0, std::string("    ") + *h);
    if (y < LINES) wmove(stdscr, y, 0);
}

// The prompt or help is drawn at once and then answered key by key, so that
// one opened in the middle of a pass lets the pass read on to its end: no
// sample is left half taken while the operator types. What it waits for
// comes after the pass.
void open_prompt(int kind) {
    asking = kind;
    reply.clear();
    if (kind != 'h') show_cursor(true);
    if (kind == 'h')
        draw_help();
    else
        draw_prompt();
    update_screen();
    if (!read_input_active) finish_prompt();
}

// The reply names a CPU number: the first column whose CPU is at or above it
// is shown first, so offline CPUs (missing columns) do not shift the choice.
void set_leftmost(const std::string &word) {
    const long want = std::strtol(word.c_str(), nullptr, 10);
    int c = 0;
    while (c < numcpus && cpunum[c] < want)
        ++c;
    bcol = c;
}

void set_interval(const std::string &word) {
    const long n = std::strtol(word.c_str(), nullptr, 10);
    sleepsec = n < 1 ? 1 : n > max_sleepsec ? max_sleepsec : static_cast<int>(n);
}

// Enter: the reply's first word, if any, is taken and the display comes back.
void close_prompt() {
    const int kind = asking;
    asking = 0;
    const auto w = reply.find_first_not_of(' ');
    const std::string word = w == std::string::npos ? "" : reply.substr(w, reply.find(' ', w) - w);
    if (kind == 'c' && !word.empty()) set_leftmost(word);
    if (kind == 's' && !word.empty()) set_interval(word);
    if (kind != 'h') show_cursor(false);
    wclear(stdscr);
    update_header = 1; // the clear took the heads and names too
    repaint_screen(kind == 'c' && !word.empty() ? 1 : 0);
}

// Everything drawn again from nothing, the prompt or help up included.
void redraw() {
    if (asking == 'h') {
        draw_help();
        return;
    }
    wclear(stdscr);
    repaint_screen(0);
    if (asking) draw_prompt();
}

// A key while the prompt or help is up. What is typed is echoed; the erase
// and kill keys edit it (Ctrl-U kills wherever the terminal says otherwise);
// a reply longer than the buffer is cut to fit; other keys, escape sequences,
// pastes and characters beyond ASCII are not part of it.
void prompt_key(int key) {
    if (key == '\n' || key == '\r') {
        close_prompt();
        return;
    }
    if (key == KEY_RESIZE) {
        resize_screen(0);
        redraw();
        return;
    }
    if (asking == 'h') return;
    if (key == erasechar() || key == 127 || key == '\b') {
        if (!reply.empty()) reply.pop_back();
    } else if (key == killchar() || key == 0x15) {
        reply.clear();
    } else if (key >= ' ' && key <= '~' && reply.size() < replysize - 1) {
        reply += static_cast<char>(key);
    } else {
        return;
    }
    draw_prompt();
}

// After a stop: the terminal taken back, then everything drawn again, at
// the size it has now.
void come_back() {
    take_back_terminal();
    take_new_size();
    update_header = 1;
    redraw();
    update_screen();
}

// 5 and 6 throw away the key that follows them, if one is there already; a
// sequence that has begun to come is thrown away once it has. A stop or a new
// size before it is taken first.
void skip_next() {
    for (;;) {
        const int key = next_key(key_none);
        if (key == key_redraw) {
            come_back();
        } else if (key == KEY_RESIZE) {
            repaint_screen(0);
        } else {
            if (key == ERR && grammar.under_way()) skipkey = 1;
            return;
        }
    }
}

} // namespace

// Waits for the prompt or help up to be answered, drawn again first: the end
// of a pass clears the mark's place on the prompt line.
void finish_prompt() {
    if (asking == 'h')
        draw_help();
    else if (asking)
        draw_prompt();
    while (asking) {
        if (keys_at_end()) { // nothing more can be typed: the reply is what it is
            close_prompt();
            break;
        }
        answer_key(key_waiting(forever));
    }
}

// Carries out the command of the key a look found, if one is there after all.
int answer_key(int look) {
    const int key = next_key(look);
    if (key == ERR) return 0;
    if (key == key_redraw) {
        come_back();
        return 0;
    }
    if (skipkey && (key >= key_seq || key == 27)) {
        skipkey = 0;
        return 0;
    }
    if (key == key_seq && !asking) { // a unit the monitor does not use: one bell for all of it
        bell();
        update_screen();
        return 0;
    }
    update_header = 1;
    if (asking) {
        prompt_key(key);
        update_screen();
        return update_header;
    }
    switch (key) {
    case '\t':
    case 't': mode = (mode + 1) % 3; break;
    case 12:
        wclear(stdscr);
        update_screen();
        repaint_screen(0);
        break;
    case 27: // ESC alone
        wclear(stdscr);
        repaint_screen(-1);
        break;
    case '5':
    case '6':
        repaint_screen(key == '5' ? 'A' : 'B');
        skip_next();
        break;
    case 'c':
    case 's':
    case 'h': open_prompt(key); break;
    case 'q': end_curses();
    case KEY_RESIZE: repaint_screen(0); break; // curses reports a new size; not a key
    default:
        if (key & key_move) {
            // The page keys move without clearing, as 5 and 6 do.
            if ((key & ~0xffff) == key_move) wclear(stdscr);
            repaint_screen(key & 0xffff);
        } else {
            bell();
        }
    }
    update_screen(); // what the key repainted shows at once
    return update_header;
}

int get_input() {
    const int look = key_waiting(0);
    return look == key_none ? 0 : answer_key(look);
}

} // namespace kevrane
