#include "scratch.h"

#include <algorithm>

namespace kevrane::scratch {

SCREEN *open_screen(int lines, int cols, FILE *out, FILE *in, const char *type) {
    use_env(FALSE);
    SCREEN *s = newterm(type, out, in);
    if (!s) return nullptr;
    set_term(s);
    curses_modes();
    // Keys come through a pipe, for which curses would strip the eighth bit
    // that a terminal's own line keeps.
    meta(stdscr, TRUE);
    leave_initial_state();
    watch_terminal(fileno(in), fileno(out));
    resize(lines, cols);
    return s;
}

void resize(int lines, int cols) {
    resizeterm(lines, cols);
    flushinp(); // resizeterm queues a resize event that would be read as a key
}

void reset_layout() {
    numcpus = numirqs = newrows = maxlines = 0;
    // Emptied in place: the fuzz targets start afresh tens of thousands of
    // times a second, and the map's room would be made again each time.
    std::fill(irqmap.begin(), irqmap.end(), 0);
    irqlabels.clear();
    irqnames.clear();
    cpunum.clear();
    members.clear();
    labelmap.clear();
    combine = 1;
    for (auto &e : combine_desc)
        e.rownum = 0;
}

void start_sampler() {
    if (getix(1) != 1) getix(0);
    first_sample();
}

} // namespace kevrane::scratch
