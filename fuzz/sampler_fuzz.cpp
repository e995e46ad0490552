// Fuzzes the numbers: arbitrary bytes as a start-up table, then tables that
// follow from it as the kernel rewrites it (lines come, go, move and change
// labels, counts wrap and restart, CPUs come and go) or an arbitrary second
// table. After each pass, every row's counts since boot, since start and
// since the last pass are compared with a plain reading of the same texts
// (stdio lines, strtol, its own record of sources and wraps). The first
// difference aborts. No terminal and no files: the table is read from
// memory, so a run makes tens of thousands of inputs a second.

#include "kevrane.h"
#include "reference.h"
#include "scratch.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace kevrane;

namespace {

int widest; // the processor's widest conversion, before any input lowers it
std::string text;

void feed(const std::string &table) {
    if (fdinp) std::fclose(fdinp);
    text = table;
    static char stdio_buffer[BUFSIZ];
    fdinp = fmemopen(text.data(), text.size(), "r");
    if (!fdinp) std::abort();
    setvbuf(fdinp, stdio_buffer, _IOFBF, sizeof stdio_buffer);
    use_table(fdinp);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    widest = fieldwidth;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 2) return 0;
    // The first byte picks merging, the conversion width and how the table
    // changes; the second where the start-up table ends.
    const int flags = data[0];
    const int widths[] = {8, 4, 2, 1};
    fieldwidth = std::min(widest, widths[(flags >> 1) % 4]);
    const std::size_t split = 2 + (size - 2) * data[1] / 255;
    const std::string first(reinterpret_cast<const char *>(data + 2), split - 2);
    std::vector<std::string> tables{first, first};
    const std::uint8_t *ops = data + split, *end = data + size;
    if (flags & 8) {
        tables.emplace_back(reinterpret_cast<const char *>(ops), end - ops);
        tables.push_back(first);
    } else {
        while (ops < end && tables.size() < 10)
            tables.push_back(reference::edit(tables.back(), ops, end));
    }

    scratch::reset_layout();
    combine = flags & 1;
    feed(first);
    alloc_tables();
    static reference::model want;
    want.start(first, combine);
    int prev = -1;
    for (std::size_t i = 0; i < tables.size(); ++i) {
        const int slot = i == 0 ? getix(3) : i == 1 ? getix(4) : getix(0);
        feed(tables[i]);
        read_input(slot);
        want.pass(tables[i]);
        if (const std::string d = want.differences(slot, prev); !d.empty()) {
            std::fprintf(stderr, "pass %zu (width %d, merging %d): %s\n", i, fieldwidth, combine,
                         d.c_str());
            std::abort();
        }
        prev = slot;
    }
    return 0;
}
