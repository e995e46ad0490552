// Fuzzes the screen and the keys: arbitrary terminal sizes, display modes,
// window positions and key sequences (escape sequences, prompts with their
// replies, help) through get_input and repaint_screen, on a real table.

#include "kevrane.h"
#include "scratch.h"

#include <cstdio>
#include <cstdlib>

using namespace kevrane;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (!open_table(KEVRANE_FUZZ_TABLE) ||
        !scratch::open_screen(24, 80, std::fopen("/dev/null", "w"), std::fopen("/dev/null", "r")))
        std::abort();
    alloc_tables();
    read_input(getix(3));
    read_input(getix(4));
    read_input(getix(0));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 6) return 0;
    scratch::resize(1 + data[0] % 120, 1 + (data[1] | (data[2] & 3) << 8));
    mode = data[3] % 3;
    brow = data[4] % (numirqs + 1);
    bcol = data[5] % (numcpus + 1);
    read_input_active = 0;
    repaint_screen(1);
    // The rest is typed in bursts; a 0xff byte ends a burst and the two
    // bytes after it give the terminal a new size. The curses key queue holds
    // fewer than 140 keys.
    for (std::size_t i = 6; i < size;) {
        std::size_t end = i;
        while (end < size && data[end] != 0xff && end - i < 120)
            ++end;
        flushinp();
        for (std::size_t k = end; k > i; --k)
            push_key(data[k - 1] == 'q' ? 'Q' : data[k - 1]); // q would end the process
        for (std::size_t n = 0; n < (end - i) / 2; ++n) {
            get_input();
            repaint_screen(0);
        }
        read_input(getix(0)); // what is left arrives during a sample
        repaint_screen(0);
        if (end + 2 < size) {
            resizeterm(1 + data[end + 1] % 120, 1 + data[end + 2] * 3); // queues a resize event
            end += 2;
        }
        i = end + 1;
    }
    return 0;
}
