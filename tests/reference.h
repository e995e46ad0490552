// A plain reading of the interrupt table to check the sampler against, pass
// after pass while the table changes: stdio lines of the same buffer size,
// fields after runs of blanks, strtol for every field, and its own record of
// sources by label, CPU columns, and counts that wrap or restart. It shares nothing with the
// program but the line buffer's size. Used by the differential tests and the differential fuzz
// target.
#pragma once

#include "kevrane.h"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace kevrane::reference {

struct source {
    int row;
    bool counted;                   // has a sample to count on from
    bool huge;                      // a count too large for exact sums: only checked for sign
    std::vector<std::int64_t> last; // per column, as last read
    std::int64_t total;
    std::vector<std::int64_t> since, step; // per column: since the baseline, in the last pass
};

struct model {
    bool merge = true;
    int passes = 0;
    std::vector<long> cpus;             // column -> CPU number
    std::vector<source> sources;        // in the order they were first met
    std::vector<std::vector<int>> rows; // row -> its sources, in that order
    std::unordered_map<std::string, std::vector<int>> labels;
    std::vector<int> merged = std::vector<int>(7, -1); // merge text -> its row

    // The start-up scan of a table, then one pass per table read.
    void start(const std::string &table, bool merging);
    void pass(const std::string &table);
    // Where the program's slots disagree with this after a pass into `cur`
    // that followed one into `prev` (-1: none); empty when they agree.
    std::string differences(int cur, int prev) const;

  private:
    void read(const std::string &table, bool scan);
    int add_source(const char *line, bool scan);
};

// The next table in a sequence: `table` with the edits that `ops` spells, up
// to a byte that ends the table or the end of `ops`. Lines are inserted,
// removed, moved and relabelled; counts wrap, restart and grow; CPUs come
// and go.
std::string edit(const std::string &table, const std::uint8_t *&ops, const std::uint8_t *end);

} // namespace kevrane::reference
