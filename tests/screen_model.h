// What the operator must see, written down from what the monitor is for
// rather than from how it paints: a model of the screen, the keys and the
// main loop, and a world that runs the real loop against it. The world is
// the terminal and the clock: keys come through a pipe, the terminal changes
// size, and time passes only when the world says so, so that every run is
// the same whatever the machine's speed. The screen is compared with the
// model at every look at the keyboard that finds nothing, and after every
// repaint of the loop. Used by the differential screen test and the screen
// fuzz target; the test binaries link with --wrap=ppoll,--wrap=clock_gettime,
// --wrap=beep, and to take continues, --wrap=wgetch,--wrap=reset_prog_mode.
#pragma once

#include "kevrane.h"

#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace kevrane::screen_model {

// What happens next in the world.
struct event {
    enum kind_t {
        keys,   // typed, arriving together
        resize, // the terminal takes a new size
        wait,   // time passes: the wait under way runs out
        table,  // the table is rewritten before the next pass
        early,  // typed, or a new size (lines > 0), just as the next pass starts
        later,  // typed `ms` milliseconds into the wait under way, or later ones
        cont,   // typed; a stop and continue from outside once `ms` keys of it are read
    } kind;
    std::string text; // keys, or the new table
    int lines = 0, cols = 0;
    int ms = 0;
};

// The screen as it must be, one string of characters and one of attributes
// ('b' bold, 'r' reverse, 'c' a character of the clock, ' ' normal) a line.
struct picture {
    std::vector<std::string> text, attrs;
};

struct model {
    int lines = 24, cols = 80;
    std::int64_t now = 1000000000000; // the monotonic clock, ns
    std::deque<unsigned char> queue;  // typed but not yet read

    int mode = 0, hmode = 0; // the display mode, and the one the title shows
    int brow = 0, bcol = 0, sleepsec = 1;
    int asking = 0; // 'c', 's' or 'h' while a prompt or help is up
    std::string reply;
    std::string esc;   // an escape sequence read up to here
    bool esc8 = false; // it began with an 8-bit introducer
    std::int64_t escwhen = 0;
    bool skip = false;       // 5 or 6 throws away the sequence under way
    int cont_after = -1;     // a continue comes once so many more bytes are read
    bool after_read = false; // keys wait for the pass to read the table
    int bells = 0;
    bool pass = false;   // a pass is reading the table: the mark shows
    bool paused = false; // the pause between passes is under way
    bool pause_over = false;
    std::int64_t pause_left = 0;
    // The numbers on screen: none (never painted, or wiped by a repaint
    // during a pass), those painted before the pass under way, or the newest.
    enum { none, stale, fresh } numbers = none;
    std::vector<std::string> stale_rows;
    // The rows and CPU columns as the last repaint of the heads saw them.
    std::vector<std::string> names;
    std::vector<long> cpus;

    void pass_begins(const event *early);
    void catch_up();
    void pass_ends();
    void pause_begins();
    void typed(const std::string &keys);
    void resized(int l, int c);
    void time_passes(std::int64_t ns);
    std::int64_t wait_expected() const; // the wait the monitor must ask for, or -1 for none
    void draw(picture &p) const;

  private:
    int take_key();
    bool handle(int key);
    void read_keys();
    void repaint(int code);
    void close_prompt();
    std::string number_row(int r, int m) const;
};

// A table in the kernel's format made from `pick` (a number below its
// argument): 1 to 20 digits a count, names ending in digits and holding bytes
// a terminal cannot show, CPUs numbered with gaps. Lines come and go with
// `version`, so that rows grow between passes.
std::string make_table(const std::function<unsigned(unsigned)> &pick, int cpus, int rows,
                       int version);

// Rewrites the table the program reads, in place.
void write_table(const std::string &text);

// The keyboard the world types into: a pipe, made once; the screen the
// monitor runs on must read its keys from here.
int keyboard();

// Runs the monitor's main loop from the table already scanned and sampled at
// start-up, through the events, comparing the screen with the model all the
// way. Returns "" or the first difference, with what led to it.
std::string run(model &m, const std::vector<event> &events);

} // namespace kevrane::screen_model
