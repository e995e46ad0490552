// Fuzzes the numbers: arbitrary bytes as a start-up table and a later one,
// each pass of the sampler compared count by count and total by total with
// a plain reading of the same text (stdio lines, strtol). The first
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

void feed(const std::uint8_t *data, std::size_t size) {
    if (fdinp) std::fclose(fdinp);
    text.assign(reinterpret_cast<const char *>(data), size);
    static char stdio_buffer[BUFSIZ];
    fdinp = fmemopen(text.data(), size, "r");
    if (!fdinp) std::abort();
    setvbuf(fdinp, stdio_buffer, _IOFBF, sizeof stdio_buffer);
    use_table(fdinp);
}

int pass; // of this input, for the report

template <typename T>
void compare(const char *what, const std::vector<T> &want, const std::vector<T> &got) {
    if (want == got) return;
    for (std::size_t i = 0; i < want.size(); ++i)
        if (want[i] != got[i]) {
            std::fprintf(stderr,
                         "pass %d: %s differ at %zu (row %zu, column %zu of %d CPUs, width %d, "
                         "merging %d): plain reading %lld, sampler %lld\n",
                         pass, what, i, numcpus ? i / numcpus : i, numcpus ? i % numcpus : 0, numcpus,
                         fieldwidth, combine, static_cast<long long>(want[i]),
                         static_cast<long long>(got[i]));
            break;
        }
    std::abort();
}

// One pass of the sampler into `slot`, checked against the plain reading.
void checked_pass(int slot) {
    ++pass;
    static std::vector<std::int64_t> counts, totals;
    counts = irqcounts[slot];
    totals = irqtotals[slot];
    const int before = previous_slot(slot);
    reference::plain_pass(text, counts, totals, irqcounts[before], irqtotals[before]);
    read_input(slot);
    compare("counts", counts, irqcounts[slot]);
    compare("totals", totals, irqtotals[slot]);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    widest = fieldwidth;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 2) return 0;
    // The first byte picks merging and the conversion width, the second
    // where the start-up table ends and the later one begins.
    const int flags = data[0];
    const int widths[] = {8, 4, 2, 1};
    fieldwidth = std::min(widest, widths[(flags >> 1) % 4]);
    const std::size_t split = 2 + (size - 2) * data[1] / 255;
    scratch::reset_layout();
    pass = 0;
    combine = flags & 1;
    feed(data + 2, split - 2);
    alloc_tables();
    checked_pass(getix(3));
    // The table changes under the monitor, then comes back.
    feed(data + split, size - split);
    checked_pass(getix(0));
    feed(data + 2, split - 2);
    checked_pass(getix(0));
    return 0;
}
