// A plain reading of the interrupt table to check the sampler against, pass
// after pass while the table changes: lines as fgets reads them into a buffer
// of the same size, fields after runs of blanks, strtoll for every field, and
// its own record of sources by label, CPU columns, and counts that wrap or
// restart; each row rated over the time between the moments its lines were
// printed, which the source that served them knows. It shares nothing with
// the program but the line buffer's size. Used by the differential tests and
// the differential fuzz target, which serve the program its tables through a
// slow source of their own: the binaries link with --wrap=clock_gettime,
// --wrap=read,--wrap=lseek,--wrap=ppoll.
#pragma once

#include "kevrane.h"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace kevrane::reference {

// The table fdinp reads, served as a slow source serves it: each read call
// costs `perbyte` ns a byte it prints, then `percall` ns, on a monotonic clock
// of the test's own, which stands still otherwise, and is logged. In records,
// a call prints as the kernel's sequence files do, the records those of
// /proc/interrupts (a numbered line, the header with irq 0's, the lines after
// numbered ones together); otherwise it prints what is asked. Some calls are
// held up before, during or after printing, as on a busy machine. The table
// must stay as it is until the pass over it has ended; a source of another
// pace is another source, whose costs the reader learns afresh.
struct read_call {
    std::size_t end;    // bytes given by the end of the call
    std::int64_t start; // when it began
    std::size_t asked;
    std::int64_t unlooked; // how long the keyboard had gone without a look then
};
// What a call printed: bytes `from` to `to` of the table, each at a time of
// its own. What the call and the one before it took bounds how far off a
// reader that knows only the calls may take that time.
struct print_span {
    std::size_t from, to;
    std::int64_t start, perbyte;
    std::int64_t before; // held up so long before printing
    std::size_t point;   // and during, from so many bytes on
    std::int64_t during; // so long
    std::int64_t near;
    std::int64_t time(std::size_t at) const {
        return start + before + perbyte * static_cast<std::int64_t>(at - from) +
               (at - from >= point ? during : 0);
    }
};
struct pace {
    std::int64_t percall = 0, perbyte = 0;
    bool records = false;
    unsigned held = 0;       // calls in a thousand held up
    std::int64_t holdup = 0; // by up to so many ns
    bool operator==(const pace &) const = default;
};
void serve(const std::string &table, const pace &p = {});
const std::vector<read_call> &calls();    // since the last serve or rewind
const std::vector<print_span> &printed(); // likewise, in table order
void let_time_pass(std::int64_t ns);

struct source {
    int row;
    bool counted; // has a sample to count on from
    bool huge;    // a count too large for exact sums: only checked for sign
    std::int64_t total;
};

struct model {
    bool merge = true;
    int passes = 0;
    int reads = 0;       // tables read, the start-up one included
    unsigned starts = 0; // start-ups
    int rows = 0;
    std::vector<long> cpus;      // column -> CPU number
    std::vector<source> sources; // in the order they were first met
    // [source * columns + column]: the count as last read, what came since
    // the baseline, what came in the last pass
    std::vector<std::int64_t> last, since, step;
    std::vector<std::int64_t> read_at; // [source]: when its line was printed
    std::vector<std::int64_t> step_at; // [source]: the time since its reading before, or -1
    std::vector<std::int64_t> near;    // [source]: how far off its time may be read
    std::vector<std::int64_t> row_at,
        row_was;                         // [row]: its time in the last pass and the one before
    std::vector<std::int64_t> row_bound; // [row]: how far off its time may be read
    std::vector<std::int64_t> row_off;   // [row]: and the time between its last two
    struct label_sources {
        std::vector<int> ids; // the sources with this label, in order
        unsigned start;       // the start-up these belong to
        int read;             // the reading of a table `met` counts for
        unsigned met;         // lines with this label met so far in it
    };
    std::unordered_map<std::string, label_sources> labels;
    int merged[7]; // merge text -> its row, or -1

    // The start-up scan of a table, then one pass per table read, with when
    // its lines were printed.
    void start(const std::string &table, bool merging, const std::vector<print_span> &when);
    void pass(const std::string &table, const std::vector<print_span> &when);
    // Where the program's slots disagree with this after a pass into `cur`
    // that followed one into `prev` (-1: none); empty when they agree. Each
    // row's time since the pass before is within `within` of its own (a
    // fraction of it), or where that is 0, as near as its lines' printing
    // calls allow.
    std::string differences(int cur, int prev, double within = 0) const;

  private:
    void read(const std::string &table, bool scan, const std::vector<print_span> &when);
    int add_source(const char *line);
    void add_columns(const std::vector<long> &grown, std::vector<char> &fresh);
};

// Makes `table` the next in a sequence, with the edits that `ops` spells, up
// to a byte that ends the table, eight edits or the end of `ops`. Lines are
// inserted, removed, moved and relabelled; counts wrap, restart and grow;
// CPUs come and go; a line becomes a run of counts in the kernel's format,
// eight or more, near 2^32 and past it, unless `runs` is false: such a line
// widens the whole table, and the fuzz target leaves half its inputs narrow.
void edit(std::string &table, const std::uint8_t *&ops, const std::uint8_t *end, bool runs = true);

} // namespace kevrane::reference
