// Fuzzes the numbers: arbitrary bytes as a start-up table, then tables that
// follow from it as the kernel rewrites it (lines come, go, move and change
// labels, counts wrap and restart, CPUs come and go) or an arbitrary second
// table. After each pass, every row's counts since boot, since start and
// since the last pass, and its rate, are compared with a plain reading of the
// same texts (lines as fgets reads them, strtoll, its own record of sources
// and wraps, the times of the reads). The first difference aborts. No
// terminal and no files: the table is served from memory at costs of the
// input's choosing, so a run makes tens of thousands of inputs a second.

#include "kevrane.h"
#include "reference.h"
#include "scratch.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace kevrane;

namespace {

int widest; // the processor's widest conversion, before any input lowers it

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    widest = fieldwidth;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 2) return 0;
    // The first byte picks merging, the conversion width, how the table
    // changes, whether edits may make runs of kernel-format counts, the
    // cost of a read, and whether the source serves records as the kernel
    // does, some calls held up; the second where the start-up table ends.
    const int flags = data[0];
    const int widths[] = {8, 4, 2, 1};
    fieldwidth = std::min(widest, widths[(flags >> 1) % 4]);
    const std::size_t split = 2 + (size - 2) * data[1] / 255;
    static std::string first, table;
    first.assign(reinterpret_cast<const char *>(data + 2), split - 2);
    const std::uint8_t *ops = data + split, *end = data + size;

    scratch::reset_layout();
    combine = flags & 1;
    static reference::model want;
    int prev = -1;
    // Start-up's first sample of the first table, then tables that follow it
    // edit by edit; or the first again and a second table.
    for (int pass = 0; pass < 3; ++pass) {
        if (pass == 0)
            table = first;
        else if (flags & 8)
            pass == 2 ? table.assign(reinterpret_cast<const char *>(ops), end - ops)
                      : table = first;
        else if (ops < end)
            reference::edit(table, ops, end, flags & 16);
        else if (pass > 1)
            break;
        reference::serve(table, {flags & 32 ? 40000000 : 0, flags & 64 ? 340 + pass : 0,
                                 (flags & 128) != 0, flags & 128 ? 100u : 0, 20000000});
        reference::let_time_pass(1000000000);
        if (pass == 0) {
            alloc_tables();
            want.start(table, combine, reference::printed());
            scratch::start_sampler();
        } else {
            read_input(getix(0));
            want.pass(table, reference::printed());
        }
        const int slot = getix(1);
        if (const std::string d = want.differences(slot, prev); !d.empty()) {
            std::fprintf(stderr, "pass %d (width %d, merging %d): %s\n", pass, fieldwidth, combine,
                         d.c_str());
            std::abort();
        }
        prev = slot;
    }
    return 0;
}
