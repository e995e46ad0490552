// Fuzzes the table: arbitrary bytes as a start-up table and a later one,
// through the layout scan, the start-up sample, samples of the later
// table (lines and CPU columns come, go and change) and repaints of the
// result in every mode.

#include "kevrane.h"
#include "scratch.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

using namespace kevrane;

namespace {

std::string path;

void write_table(const std::uint8_t *data, std::size_t size) {
    FILE *f = std::fopen(path.c_str(), "w");
    if (!f || std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    char name[] = "/tmp/kevrane-fuzz-table-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) std::abort();
    close(fd);
    path = name;
    std::atexit([] { unlink(path.c_str()); });
    if (!open_table(path.c_str()) ||
        !scratch::open_screen(24, 80, std::fopen("/dev/null", "w"), std::fopen("/dev/null", "r")))
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 2) return 0;
    // The first byte picks merging and the terminal width, the second where
    // the start-up table ends and the later one begins.
    const int flags = data[0];
    const std::size_t split = 2 + (size - 2) * data[1] / 255;
    scratch::reset_layout();
    combine = flags & 1;
    write_table(data + 2, split - 2);
    alloc_tables();
    scratch::resize(24, 20 + (flags >> 1) % 64 * 2);
    brow = bcol = 0;
    scratch::start_sampler();
    write_table(data + split, size - split);
    for (int pass = 0; pass < 3; ++pass) {
        read_input(getix(0));
        mode = pass;
        repaint_screen(pass == 1 ? 'B' : 'C');
    }
    write_table(data + 2, split - 2);
    read_input(getix(0));
    repaint_screen('F');
    return 0;
}
