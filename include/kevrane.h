// Kevrane's process-wide state and routines, declared once and grouped by the
// file that owns them. Curses stays out of this header so that the table scan
// and the slot chooser build and test without a terminal.
#pragma once

#include <array>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <sys/utsname.h>
#include <time.h>
#include <unordered_map>
#include <vector>

namespace kevrane {

// sampling/table.cpp: reading the interrupt table

constexpr int linesize = 98404; // line buffer; longer lines are read in pieces

extern int fdinp; // /proc/interrupts, open for the whole run
extern std::int64_t
    linetime; // when the line read last was printed, as the read calls tell, monotonic ns

bool open_table(const char *path);
void use_table(int fd); // reads the table from an open file
void rewind_table();
char *read_line();
char *read_line_from(std::size_t skip, bool &guessed);
char *reread_line();

// sampling/layout.cpp: the shape of the interrupt table. The start-up scan
// builds it; a pass that meets lines or CPUs it has not seen adds to it.

// irqmap: the line is one of a merged row's lines; the rest of the entry is
// then its number in `members` plus one, otherwise its row plus one.
constexpr std::uint32_t addflag = 1u << 31;

struct combine_entry {
    const char *substr; // searched for anywhere in a line
    const char *label;  // name of the merged row
    int rownum;         // merged row's number plus one; 0 until its first line is met
};

struct line_row {
    int row;    // -1: the line has no row
    int member; // its number in `members`, or -1 for a line with a row of its own
};

// One line of a merged row. The row is the sum of its lines, each of which
// keeps its own latest counts (in the row store): a line that wraps,
// restarts or vanishes does so on its own.
struct member_line {
    int row;
    std::int64_t total;
    std::int64_t time; // when it was last printed, monotonic ns
    std::int64_t step; // the time since its reading before, for a line read in this pass that
                       // was counted before; -1 otherwise
};

// Labels are looked up as they stand in the line, without a copy.
struct label_hash : std::hash<std::string_view> {
    using is_transparent = void;
};

// The sources that carry one label, in the order their lines stand in the
// table: lines with the same label are told apart by that order.
struct label_lines {
    std::vector<std::uint32_t> sources; // irqmap entries
    unsigned pass;                      // the pass `seen` counts for
    unsigned seen;                      // lines with this label met so far in it
};

extern int numcpus;   // CPU columns
extern int numfields; // counts on a line of the pass under way: its header's CPUs
extern int numirqs;   // rows with sample slots
extern int newrows;   // rows added by the pass under way, from numirqs on
extern int maxlines;  // entries irqmap has room for
extern std::vector<std::uint32_t> irqmap;  // line index -> row + 1, or member + 1 with addflag
extern std::vector<std::string> irqlabels; // line index -> the label last seen there
extern std::vector<std::string> irqnames;  // row -> name, at most 20 characters
extern std::vector<long> cpunum;           // column -> CPU number from its header label
extern std::vector<member_line> members;   // the lines of merged rows
extern std::unordered_map<std::string, label_lines, label_hash, std::equal_to<>>
    labelmap;       // label -> its sources
extern int combine; // merge like lines into one row
extern combine_entry combine_desc[7];
extern int relayout; // the table was scanned, or rows or CPU columns were added: the view window
                     // must be recomputed

void header_cpus(const char *line, std::vector<long> &numbers);
const char *skip_blanks(const char *text);
const char *glued_count(const char *label);
std::string_view line_label(const char *line);
void expand_map(int index);
void init_map_line(const char *line, int index);
line_row map_line(int index);
void begin_pass();
void count_labels_before(int index);
line_row find_line(std::string_view label, const char *line, int index);
void trim_map(int lines);
void alloc_tables();

// sampling/cells.cpp: the row store. Each row keeps numbers in the three
// slots only for the CPU columns it has counted on; the sampler alone sees
// them (sampling/cells.h). Beside them, each row's total.

extern std::array<std::vector<std::int64_t>, 3> irqtotals; // [slot][row]

bool room_for(std::size_t sources, std::size_t columns, std::size_t cells);
std::int64_t step_down(std::int64_t before, std::int64_t now);
std::int64_t shown_count(int cur, int ref, int row, int col);
std::int64_t count_at(int slot, int row, int col);
void set_count(int slot, int row, int col, std::int64_t v);
std::size_t slot_bytes(); // what the slots hold, beside their rows' totals

// sampling/slots.cpp and sampling/fields.cpp: the sampler

// [slot][row] when the row's line was printed, monotonic ns;
// 0: never read. A merged row has the mean of its lines' times.
extern std::array<std::vector<std::int64_t>, 3> rowtime;
extern int read_input_active; // a sample is being taken: numbers are not painted
extern int fieldwidth;        // kernel-format fields converted at once: 8, 4, 2 or 1 by processor

std::int64_t parse_count(const char *field, const char **end);
std::size_t store_line(const char *line, std::int64_t *counts, const std::int64_t *before,
                       std::int64_t &total, const std::vector<int> *colmap, bool &down);
std::size_t store_line(const char *line, std::uint32_t *counts, const std::uint32_t *before,
                       std::int64_t &total, const std::vector<int> *colmap, bool &down, bool &fits);
void alloc_slots();
int getix(int selector);
int previous_slot(int slot);
void read_input(int slot);
void scan_sample(int slot);
void look_when_due();

// Keys are looked for at most this often during a pass: a look is a system
// call, a clock read through the vDSO is not.
constexpr std::int64_t key_look_ns = 1000000;

inline std::int64_t monotonic_ns() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * std::int64_t{1000000000} + t.tv_nsec;
}

// Whether a count fits a 32-bit cell, as every count a kernel prints does.
inline bool fits_cell(std::int64_t v) {
    return v >= 0 && v <= 0xFFFFFFFF;
}

// Counts come from text the kernel (or anything bind-mounted in its place)
// prints, so sums and differences stop at the limits instead of overflowing.
inline std::int64_t sat_add(std::int64_t a, std::int64_t b) {
    std::int64_t r;
    if (__builtin_add_overflow(a, b, &r))
        return b > 0 ? std::numeric_limits<std::int64_t>::max()
                     : std::numeric_limits<std::int64_t>::min();
    return r;
}

inline std::int64_t sat_sub(std::int64_t a, std::int64_t b) {
    std::int64_t r;
    if (__builtin_sub_overflow(a, b, &r))
        return b < 0 ? std::numeric_limits<std::int64_t>::max()
                     : std::numeric_limits<std::int64_t>::min();
    return r;
}

// screen/geometry.cpp: the view window

extern int brow;          // first row shown
extern int erow;          // one past the last row shown
extern int bcol;          // first CPU column shown
extern int ecol;          // one past the last CPU column shown
extern int prow;          // screen line of the prompt line
extern int datacols;      // CPU columns that fit beside the names and totals
extern int update_header; // title, heads and names must be repainted

int page_height();
bool size_changed();
void resize_screen(int code);

// screen/draw.cpp: writing that never leaves the screen or wraps, and
// sending it, the cursor and modes asked of the terminal, to a terminal that
// takes them

extern int screenfd; // where the screen is written
extern bool behind;  // the terminal took no output: what it shows is out of date

void put_text(int y, int x, const char *text, int len);
void put_text(int y, int x, const std::string &text);
void clear_eol(int y, int x);
bool takes_output();
bool update_screen();
void show_cursor(bool on);
void owe_terminal(const char *modes);
void bell();

// screen/paint.cpp: the monitor's screen

extern int mode; // 0 since command start, 1 per second, 2 since boot
extern const char *const title[3];
extern const char prompt_line[];
extern const char mark_text[];

std::int64_t rate(std::int64_t value, double interval);
double row_interval(int cur, int ref, int row);
void print_header();
void print_timestamp();
void print_data();
void repaint_screen(int code);
void show_mark();
void clear_mark();

// control/keys.cpp: keyboard commands, prompts and help

extern const char *const help[13];
extern int asking;        // 'c' or 's': that prompt is up; 'h': the help screen; 0: neither
extern std::string reply; // what has been typed at the prompt
extern int skipkey;       // 5 or 6 threw away a sequence that is still coming

int answer_key(int look);
int get_input();
void finish_prompt();

// control/terminal.cpp: looking for keys, and a terminal that is gone

// What a look at the keyboard found: nothing, input on the terminal, or a key
// there already (pushed back, read ahead, or a new terminal size).
constexpr int key_none = 0;
constexpr int key_input = 1;
constexpr int key_held = 2;
// key_waiting: wait for as long as it takes
constexpr std::int64_t forever = std::numeric_limits<std::int64_t>::max();

extern std::deque<unsigned char> ahead; // bytes read ahead of the keys they make, or pushed back

void watch_terminal(int keys, int screen);
void push_key(int key);
void keep_ahead(const char *bytes, std::size_t n);
std::size_t read_ahead(char *to, std::size_t n);
bool more_typed();
int key_waiting(std::int64_t until);
int read_key(int look);
int next_key(int look);
std::int64_t unit_deadline();
void take_new_size();
bool keys_at_end();
bool terminal_gone();
[[noreturn]] void lose_terminal();

// control/units.cpp: what a terminal sends as one unit, as one key, a byte
// at a time

// What next_key gives for what a terminal sends as one unit (an escape
// sequence, a string, a mouse report, a paste, a UTF-8 character, Alt and
// any of these): one the monitor does not know, or one that moves the window
// (key_move or key_page with its navigation code; the page keys move without
// clearing the screen first). key_redraw: the monitor was stopped, and the
// screen may hold anything.
constexpr int key_seq = 1 << 16;
constexpr int key_move = 2 << 16;
constexpr int key_page = 3 << 16;
constexpr int key_redraw = 4 << 16;
// How long the rest of a unit is waited for after its last byte. Terminals
// send a unit in one write; what comes later was typed.
constexpr std::int64_t esc_wait_ns = 50000000;

// What a byte gives: a key, or none yet (-1); and how many bytes are to be
// read again as keys of their own: the byte given (a byte that cannot go on
// the unit before it ends that unit), and the ESC before it.
struct unit_step {
    int key = -1;
    int again = 0;
};

// The units a terminal sends (an escape sequence of any length, a mouse
// report, a string: OSC, DCS, SOS, PM, APC; a paste; a UTF-8 character; Alt
// and any of these), read a byte at a time: `more` tells whether more bytes
// came with this one. The rest of a unit is waited for a while after its
// last byte (patience); once that is over, wait_over says what the unit was.
struct unit_grammar {
    unit_step feed(int byte, bool more);
    int wait_over();
    bool under_way() const { return !seq.empty(); }
    bool pasting() const;
    std::int64_t patience() const;

    enum unit_kind {
        u_esc,        // ESC: what follows says what it is, or it is ESC alone
        u_csi,        // ESC [, parameter and intermediate bytes, a final byte
        u_mouse,      // ESC [ M and three bytes of any value: a mouse report
        u_one,        // ESC O (SS3), or the Linux console's ESC [ [: one more byte
        u_string,     // OSC, DCS, SOS, PM or APC: up to ST, ESC and backslash, or BEL after OSC
        u_string_esc, // such a string that has just met an ESC
        u_paste,      // ESC [ 200 ~: a paste, up to ESC [ 201 ~
        u_utf8,       // a UTF-8 character, its continuation bytes still to come
    } kind = u_esc;
    std::string seq;       // the unit's first bytes read so far
    std::size_t inner = 0; // where the unit after an Alt's ESC begins in seq: 0 or 1
    int left = 0;          // bytes still to come of a mouse report or a UTF-8 character
    bool osc = false;      // the string is an OSC, which BEL may end
    bool eight = false;    // the unit began with an 8-bit introducer
    std::size_t ends = 0;  // bytes of the paste's end met in a row
    bool paste8 = false;   // the paste began with the 8-bit CSI, and may end with it
};

extern unit_grammar grammar;  // the terminal's units
extern std::int64_t unitwhen; // when the last byte of its unit under way came, monotonic ns

// control/signals.cpp: giving the terminal back, a new size, a stop ended

extern volatile sig_atomic_t winched;   // the terminal has a new size, not yet taken up
extern volatile sig_atomic_t continued; // the monitor was stopped and went on

void note_shell_modes(int screen);
void note_own_modes();
void catch_stops();
void mark_pastes();
void prepare_farewell();
void catch_signals();
const sigset_t *wait_mask();
void take_signals();
void take_back_terminal();
void give_back_terminal();

// control/startup.cpp: command line, start-up and the main loop

extern const char optstr[];
extern struct utsname kname;            // the title line shows its node name
extern int sleepsec;                    // refresh interval in seconds
constexpr int max_sleepsec = 429496729; // the longest interval taken: 13.6 years

void curses_modes();
void leave_initial_state();
void start_curses();
void first_sample();
[[noreturn]] void end_curses();
void do_delay();
[[noreturn]] void run(int argc, char **argv);

} // namespace kevrane
