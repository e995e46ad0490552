// Fuzzes the numbers: arbitrary bytes as a start-up table, then tables that
// follow from it as the kernel rewrites it (lines come, go, move and change
// labels, counts wrap and restart, CPUs come and go) or an arbitrary second
// table. After each pass, every row's counts since boot, since start and
// since the last pass are compared with a plain reading of the same texts
// (lines as fgets reads them, strtoll, its own record of sources and
// wraps). The first difference aborts. No terminal and no files: the table
// is read from memory, so a run makes tens of thousands of inputs a second.

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

// The table the sampler reads next; it stays as it is until the pass has
// ended. One stream reads whichever table is current: opening and closing a
// stream for every pass took a sixteenth of the fuzzer's time.
const std::string *current;
std::size_t at;

ssize_t read_current(void *, char *buf, std::size_t size) {
    const std::size_t n = std::min(size, current->size() - at);
    std::memcpy(buf, current->data() + at, n);
    at += n;
    return static_cast<ssize_t>(n);
}

int seek_current(void *, off64_t *pos, int whence) {
    if (whence != SEEK_SET || *pos < 0) return -1; // the sampler only rewinds
    at = std::min(static_cast<std::size_t>(*pos), current->size());
    *pos = static_cast<off64_t>(at);
    return 0;
}

void feed(const std::string &table) {
    static FILE *stream = fopencookie(nullptr, "r", {read_current, nullptr, seek_current, nullptr});
    if (!stream) std::abort();
    current = &table;
    at = 0;
    use_table(stream);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    widest = fieldwidth;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 2) return 0;
    // The first byte picks merging, the conversion width, how the table
    // changes and whether edits may make runs of kernel-format counts; the
    // second where the start-up table ends.
    const int flags = data[0];
    const int widths[] = {8, 4, 2, 1};
    fieldwidth = std::min(widest, widths[(flags >> 1) % 4]);
    const std::size_t split = 2 + (size - 2) * data[1] / 255;
    static std::string first, table;
    first.assign(reinterpret_cast<const char *>(data + 2), split - 2);
    const std::uint8_t *ops = data + split, *end = data + size;

    scratch::reset_layout();
    combine = flags & 1;
    feed(first);
    alloc_tables();
    static reference::model want;
    want.start(first, combine);
    int prev = -1;
    // Start-up's first sample of the first table, then tables that follow it
    // edit by edit, the start-up baseline among them; or a second table and
    // the first again.
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
        const int slot = pass == 0 ? getix(3) : pass == 1 ? getix(4) : getix(0);
        feed(table);
        read_input(slot);
        want.pass(table);
        if (const std::string d = want.differences(slot, prev); !d.empty()) {
            std::fprintf(stderr, "pass %d (width %d, merging %d): %s\n", pass, fieldwidth, combine,
                         d.c_str());
            std::abort();
        }
        prev = slot;
    }
    return 0;
}
