// What a terminal sends as one unit, read as one key: an escape sequence of
// any length, a mouse report, a string (OSC, DCS, SOS, PM, APC), a paste, a
// UTF-8 character, Alt and any of these. A unit comes in one write; its
// rest is waited for a short while after its last byte, a paste's for as
// long as a slow link may hold it up.

#include "kevrane.h"

#include <cstring>
#include <curses.h>

namespace kevrane {

std::string escseq;
std::int64_t escwhen;

namespace {

// How far the reading of a unit has come.
enum unit_kind {
    u_esc,        // ESC: what follows says what it is, or it is ESC alone
    u_csi,        // ESC [, parameter and intermediate bytes, a final byte
    u_mouse,      // ESC [ M and three bytes of any value: a mouse report
    u_one,        // ESC O (SS3), or the Linux console's ESC [ [: one more byte
    u_string,     // OSC, DCS, SOS, PM or APC: up to ESC \ or ST (or BEL, for OSC)
    u_string_esc, // such a string that has just met an ESC
    u_paste,      // ESC [ 200 ~: a paste, up to ESC [ 201 ~
    u_utf8,       // a UTF-8 character, its continuation bytes still to come
};
unit_kind unit;
std::size_t inner; // where the unit after an Alt's ESC begins in escseq: 0 or 1
int left;          // bytes still to come of a mouse report or a UTF-8 character
bool osc;          // the string is an OSC, which BEL may end
bool eight;        // the unit began with an 8-bit introducer
std::size_t ends;  // bytes of the paste's end met in a row
bool paste8;       // the paste began with the 8-bit CSI, and may end with it
constexpr char paste_start[] = "\033[200~";
constexpr char paste_end[] = "\033[201~";
// Enough of a unit's start to tell what it is; the rest is only counted.
constexpr std::size_t unit_keep = 16;
// A paste's bytes stop only where a link holds them up; a silence as long
// as this is no paste's.
constexpr std::int64_t paste_wait_ns = 3000000000;
constexpr int can = 0x18, sub = 0x1a, st = 0x9c;

// Continuation bytes a UTF-8 lead byte announces, or 0 for a byte that leads
// no character.
int utf8_rest(int ch) {
    return ch >= 0xc2 && ch <= 0xdf   ? 1
           : ch >= 0xe0 && ch <= 0xef ? 2
           : ch >= 0xf0 && ch <= 0xf4 ? 3
                                      : 0;
}

bool continues_utf8(int ch) {
    return ch >= 0x80 && ch <= 0xbf;
}

// The 7-bit form of an 8-bit introducer (CSI, DCS, OSC, SOS, PM, APC), or 0.
char seven_bit(int ch) {
    switch (ch) {
    case 0x9b: return '[';
    case 0x90: return 'P';
    case 0x9d: return ']';
    case 0x98: return 'X';
    case 0x9e: return '^';
    case 0x9f: return '_';
    }
    return 0;
}

enum step { goes_on, done, cut, cut_esc, cancelled };

// A paste's byte: whether its end came with it. One begun with the 8-bit
// CSI ends at either form of the end; in another, that byte is text (a
// UTF-8 character's).
bool ends_paste(int ch) {
    ends = ch == paste_end[ends] ? ends + 1 : ch == 27 ? 1 : ch == 0x9b && paste8 ? 2 : 0;
    return ends == sizeof paste_end - 1;
}

// The byte after an ESC: what unit it starts. ESC and P, X, ], ^ or _ are a
// string only when more came with them: typed, they are Alt and that key.
step after_esc(int ch) {
    if (ch == '[')
        unit = u_csi;
    else if (ch == 'O')
        unit = u_one;
    else if (ch && std::strchr("]PX^_", ch) && more_typed())
        unit = u_string, osc = ch == ']', left = 0;
    else if ((left = utf8_rest(ch)))
        unit = u_utf8; // Alt and a character
    else
        return done; // Alt and a key
    return goes_on;
}

// The unit read so far (its first bytes in escseq) goes on with `ch`, is
// complete with it, or ends before it: `ch` is then read again as a key of
// its own (cut_esc: and so is the ESC before it), or dropped (cancelled:
// CAN and SUB end any unit but a paste, which is text).
step feed(int ch) {
    if ((ch == can || ch == sub) && unit != u_paste) return cancelled;
    const std::size_t in = escseq.size() - inner; // bytes of the unit after an Alt's ESC
    switch (unit) {
    case u_esc:
        if (ch == 27) { // ESC and a whole unit is Alt and that key
            if (inner) return cut;
            inner = 1;
            return goes_on;
        }
        return after_esc(ch);
    case u_csi:
        if (in == 2 && ch == 'M') return unit = u_mouse, left = 3, goes_on;
        if (in == 2 && ch == '[') return unit = u_one, goes_on;
        // rxvt's shifted keys end with '$', which a sequence otherwise only
        // passes through: one with nothing more after it is complete.
        if (ch == '$' && !more_typed()) return done;
        if (ch >= 0x20 && ch <= 0x3f) return goes_on;
        if (ch < 0x40 || ch > 0x7e) return cut;
        if (escseq.compare(inner, std::string::npos, paste_start, 5) == 0 && ch == '~')
            return unit = u_paste, ends = 0, paste8 = eight, goes_on;
        return done;
    case u_mouse: return --left ? goes_on : done;
    case u_one: return ch >= 0x20 && ch <= 0x7e ? done : cut;
    case u_string:
        // A character of the string's text, not an ST, even where its bytes
        // are those of C1 controls.
        if (left && continues_utf8(ch)) return --left, goes_on;
        left = utf8_rest(ch);
        if (ch == 27) unit = u_string_esc;
        return ch == st || (osc && ch == 7) ? done : goes_on;
    case u_string_esc: return ch == '\\' ? done : cut_esc;
    case u_paste: return ends_paste(ch) ? done : goes_on;
    case u_utf8:
        if (!continues_utf8(ch)) return cut;
        return --left ? goes_on : done;
    }
    return cut;
}

// What a whole unit means to the monitor: the cursor keys, Home and End
// (ESC [ or ESC O and a letter), and ESC [ n ~, which most terminals send
// for the page keys (5, 6) and tmux and screen for Home (1, 7) and End (4, 8).
// Anything else it does not use, Alt and any key among them.
int unit_key(const std::string &seq) {
    if (seq.size() == 3 && (seq[1] == '[' || seq[1] == 'O') && std::strchr("ABCDHF", seq[2]))
        return key_move | seq[2];
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

// The unit read so far is all there will be: ESC alone, or a unit cut short,
// which the monitor cannot know.
int unfinished() {
    const int key = escseq.size() == 1 && unit == u_esc ? 27 : key_seq;
    escseq.clear();
    return key;
}

// A paste under way is read a block at a time, as much as is there, up to
// its end: what came after the end is left for the keys that follow. True
// when it ended; `got` tells whether anything was read. However fast a paste
// keeps coming, a look takes one block of it, and the pass and the screen go
// on between looks.
bool take_paste(bool &got) {
    static char block[1 << 16];
    const std::size_t len = read_ahead(block, sizeof block);
    got = len > 0;
    if (!got) return false;
    escwhen = monotonic_ns();
    for (std::size_t i = 0; i < len; ++i)
        if (ends_paste(static_cast<unsigned char>(block[i]))) {
            keep_ahead(block + i + 1, len - i - 1);
            return true;
        }
    return false;
}

} // namespace

std::int64_t unit_deadline() {
    return escwhen + (unit == u_paste ? paste_wait_ns : esc_wait_ns);
}

// The next key: a byte, a whole unit, KEY_RESIZE or key_redraw; ERR when
// there is none yet. A unit whose rest has not come waits for it after its
// last byte (unit_deadline), across looks, and no byte of it is ever taken
// as a key of its own. A byte that cannot go on the unit before it ends that
// unit and is read again as a key.
int next_key(int look) {
    for (;;) {
        if (!escseq.empty() && unit == u_paste) {
            bool got;
            if (take_paste(got)) {
                escseq.clear();
                return key_seq;
            }
            if (got) return ERR; // the rest at the next look
        }
        const int ch = read_key(look);
        if (ch == ERR) {
            if (escseq.empty()) return ERR;
            // Input that looks ready but gives nothing is at its end.
            if (look != key_input && key_waiting(0) == key_input) {
                look = key_input;
                continue;
            }
            if (!keys_at_end() && monotonic_ns() < unit_deadline()) return ERR;
            return unfinished();
        }
        if (ch == KEY_RESIZE || ch == key_redraw) return ch;
        step s = goes_on;
        if (escseq.empty()) {
            inner = 0;
            eight = false;
            if (ch == 27) {
                unit = u_esc;
            } else if (const char c = seven_bit(ch)) { // the unit of its 7-bit form
                unit = c == '[' ? u_csi : u_string;
                osc = c == ']';
                eight = true;
                left = 0;
                escseq = {'\033', c};
                escwhen = monotonic_ns();
                look = key_waiting(0);
                continue;
            } else if ((left = utf8_rest(ch))) {
                unit = u_utf8;
            } else {
                return ch;
            }
        } else {
            s = feed(ch);
            if (s == cut || s == cut_esc) {
                push_key(ch);
                if (s == cut_esc) push_key(27);
            }
            if (s >= cut) return unfinished();
        }
        if (escseq.size() < unit_keep) escseq += static_cast<char>(ch);
        escwhen = monotonic_ns();
        if (s == done) {
            const int key = inner ? key_seq : unit_key(escseq);
            escseq.clear();
            return key;
        }
        // The rest is looked for without waiting; the look also tells
        // whether the keys came to their end.
        look = key_waiting(0);
    }
}

} // namespace kevrane
