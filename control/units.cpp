// What a terminal sends as one unit, read as one key: an escape sequence of
// any length, a mouse report, a string (OSC, DCS, SOS, PM, APC), a paste, a
// UTF-8 character, Alt and any of these. A unit comes in one write; its
// rest is waited for a short while after its last byte, a paste's for as
// long as a slow link may hold it up. The grammar takes a byte at a time and
// knows nothing of the terminal: the terminal feeds it (control/terminal.cpp).

#include "kevrane.h"

#include <cstring>

namespace kevrane {

unit_grammar grammar;
std::int64_t unitwhen;

namespace {

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

// What a byte does to the unit read so far: goes on with it, completes it, or
// ends it before the byte, which is read again as a key of its own (cut_esc:
// and so is the ESC before it), or is dropped (cancelled: CAN and SUB end any
// unit but a paste, which is text).
enum step { goes_on, done, cut, cut_esc, cancelled };

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

// A paste's byte: whether its end came with it. One begun with the 8-bit
// CSI ends at either form of the end; in another, that byte is text (a
// UTF-8 character's).
bool ends_paste(unit_grammar &g, int ch) {
    g.ends = ch == paste_end[g.ends] ? g.ends + 1 : ch == 27 ? 1 : ch == 0x9b && g.paste8 ? 2 : 0;
    return g.ends == sizeof paste_end - 1;
}

// The byte after an ESC: what unit it starts. ESC and P, X, ], ^ or _ are a
// string only when more came with them: typed, they are Alt and that key.
step after_esc(unit_grammar &g, int ch, bool more) {
    if (ch == '[')
        g.kind = unit_grammar::u_csi;
    else if (ch == 'O')
        g.kind = unit_grammar::u_one;
    else if (ch && std::strchr("]PX^_", ch) && more)
        g.kind = unit_grammar::u_string, g.osc = ch == ']', g.left = 0;
    else if ((g.left = utf8_rest(ch)))
        g.kind = unit_grammar::u_utf8; // Alt and a character
    else
        return done; // Alt and a key
    return goes_on;
}

// The unit read so far goes on with `ch`, or ends with it or before it.
step next(unit_grammar &g, int ch, bool more) {
    using u = unit_grammar;
    if ((ch == can || ch == sub) && g.kind != u::u_paste) return cancelled;
    const std::size_t in = g.seq.size() - g.inner; // bytes of the unit after an Alt's ESC
    switch (g.kind) {
    case u::u_esc:
        if (ch == 27) { // ESC and a whole unit is Alt and that key
            if (g.inner) return cut;
            g.inner = 1;
            return goes_on;
        }
        return after_esc(g, ch, more);
    case u::u_csi:
        if (in == 2 && ch == 'M') return g.kind = u::u_mouse, g.left = 3, goes_on;
        if (in == 2 && ch == '[') return g.kind = u::u_one, goes_on;
        // rxvt's shifted keys end with '$', which a sequence otherwise only
        // passes through: one with nothing more after it is complete.
        if (ch == '$' && !more) return done;
        if (ch >= 0x20 && ch <= 0x3f) return goes_on;
        if (ch < 0x40 || ch > 0x7e) return cut;
        if (g.seq.compare(g.inner, std::string::npos, paste_start, 5) == 0 && ch == '~')
            return g.kind = u::u_paste, g.ends = 0, g.paste8 = g.eight, goes_on;
        return done;
    case u::u_mouse: return --g.left ? goes_on : done;
    case u::u_one: return ch >= 0x20 && ch <= 0x7e ? done : cut;
    case u::u_string:
        // A character of the string's text, not an ST, even where its bytes
        // are those of C1 controls.
        if (g.left && continues_utf8(ch)) return --g.left, goes_on;
        g.left = utf8_rest(ch);
        if (ch == 27) g.kind = u::u_string_esc;
        return ch == st || (g.osc && ch == 7) ? done : goes_on;
    case u::u_string_esc: return ch == '\\' ? done : cut_esc;
    case u::u_paste: return ends_paste(g, ch) ? done : goes_on;
    case u::u_utf8:
        if (!continues_utf8(ch)) return cut;
        return --g.left ? goes_on : done;
    }
    return cut;
}

} // namespace

bool unit_grammar::pasting() const {
    return under_way() && kind == u_paste;
}

std::int64_t unit_grammar::patience() const {
    return kind == u_paste ? paste_wait_ns : esc_wait_ns;
}

// The unit read so far is all there will be: ESC alone, or a unit cut short,
// which the monitor cannot know.
int unit_grammar::wait_over() {
    const int key = seq.size() == 1 && kind == u_esc ? 27 : key_seq;
    seq.clear();
    return key;
}

unit_step unit_grammar::feed(int ch, bool more) {
    step s = goes_on;
    if (seq.empty()) {
        inner = 0;
        eight = false;
        if (ch == 27) {
            kind = u_esc;
        } else if (const char c = seven_bit(ch)) { // the unit of its 7-bit form
            kind = c == '[' ? u_csi : u_string;
            osc = c == ']';
            eight = true;
            left = 0;
            seq = {'\033', c};
            return {};
        } else if ((left = utf8_rest(ch))) {
            kind = u_utf8;
        } else {
            return {ch};
        }
    } else {
        s = next(*this, ch, more);
        if (s >= cut) return {wait_over(), s == cut ? 1 : s == cut_esc ? 2 : 0};
    }
    if (seq.size() < unit_keep) seq += static_cast<char>(ch);
    if (s != done) return {};
    const int key = inner ? key_seq : unit_key(seq);
    seq.clear();
    return {key};
}

} // namespace kevrane
