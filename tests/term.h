// Test scaffolding: a real curses screen on a scratch terminal, keys pushed
// into it, and interrupt tables fed to the sampler through fdinp.
#pragma once

#include "kevrane.h"

#include <string>

namespace kevrane::harness {

// A vt100 screen of the given size writing to a scratch file, in the modes
// the monitor runs its terminal in.
void open_screen(int lines, int cols);
// The same with a keyboard that is a pipe, for keys that come while the
// program waits or reads; returns the pipe's end to type into.
int open_screen_with_keyboard(int lines, int cols);
void resize(int lines, int cols);
std::string screen_line(int y);
// Everything curses has written to the terminal so far.
std::string terminal_output();
// Bells rung since the screen was opened.
int bells();
// Keys arrive in the order given.
void push_keys(const std::string &keys);

// The state the start-up scan fills, as a fresh process has it.
void reset_layout();
// Writes the table to a scratch file that fdinp reads; later calls rewrite it in place.
void set_table(const std::string &text);
// set_table, then the start-up scan with merging on or off.
void load_table(const std::string &text, bool merge = true);
std::string fixture(const std::string &name);

} // namespace kevrane::harness
