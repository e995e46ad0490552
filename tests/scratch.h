// A scratch terminal and a fresh table state, for the tests, the benchmark
// and the fuzz targets alike.
#pragma once

#include "kevrane.h"

#include <curses.h>

namespace kevrane::scratch {

// A vt100 (or `type`) screen of the given size writing to `out` and reading
// keys from `in`, in the modes the monitor runs its terminal in.
SCREEN *open_screen(int lines, int cols, FILE *out, FILE *in, const char *type = "vt100");
// Sets the size as a terminal would, without leaving the resize event queued.
void resize(int lines, int cols);
// The state the start-up scan fills, as a fresh process has it.
void reset_layout();
// The start-up's first sample, the slot chooser as a fresh process has it:
// the sample after it goes to slot 0.
void start_sampler();

} // namespace kevrane::scratch
