// Fuzzes the screen and the keys against the model of what the operator must
// see: arbitrary terminal sizes, display modes, window positions, tables and
// events (keys of any byte, so every unit a terminal sends, whole, split or
// slow, prompts and help, new sizes, waits, tables rewritten, keys as a pass
// starts) through the real main loop. The first difference from the model
// aborts, naming the line and column.

#include "scratch.h"
#include "screen_model.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

using namespace kevrane;
using namespace kevrane::screen_model;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    char path[] = "/tmp/kevrane-screen-fuzz-XXXXXX";
    const int fd = mkstemp(path);
    // screen, not vt100: vt100's cursor moves ask for padding, for which
    // curses writes each one on its own, a system call each.
    if (fd < 0 || !open_table(path) ||
        !scratch::open_screen(24, 80, std::fopen("/dev/null", "w"), fdopen(keyboard(), "r"),
                              "screen"))
        std::abort();
    unlink(path);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 10) return 0;
    std::uint32_t seed = data[9] * 2654435761u + 1;
    auto pick = [&](unsigned n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % n;
    };
    const int cpus = 1 + data[6] % 16, rows = data[7] % 40;
    scratch::reset_layout();
    combine = data[8] & 1;
    write_table(make_table(pick, cpus, rows, 0));
    alloc_tables();
    std::strcpy(kname.nodename,
                data[8] & 2 ? "db\x01host\x7f-7\xe9" : "a-long-node-name.example.com");
    model m;
    // Up to 100 x 300, mostly smaller: a large screen costs many small ones.
    m.lines = 1 + data[0] % (data[2] & 1 ? 100 : 30);
    m.cols = 1 + data[1] % 120 + (data[2] & 2 ? data[2] % 181 : 0);
    m.mode = m.hmode = data[3] % 3;
    m.brow = data[4] % (numirqs + 1);
    m.bcol = data[5] % (numcpus + 1);
    m.sleepsec = 1 + (data[8] >> 2) % 3;
    // Then events: a byte for the kind, keys as a length and the bytes.
    std::vector<event> events;
    for (std::size_t i = 10; i < size && events.size() < 8;) {
        const std::uint8_t kind = data[i++];
        if (kind % 8 < 4 || (kind % 8 == 6 && i < size)) {
            const int ms = kind % 8 == 6 ? data[i++] % 80 : 0;
            const std::size_t n = std::min<std::size_t>(1 + kind / 8 % 8, size - i);
            std::string keys(reinterpret_cast<const char *>(data + i), n);
            i += n;
            // q would end the process.
            for (char &k : keys)
                k = k == 'q' ? 'Q' : k;
            const auto k = kind % 8 == 3   ? event::early
                           : kind % 8 == 6 ? event::later
                                           : event::keys;
            events.push_back({k, keys, 0, 0, ms});
        } else if (kind % 8 == 4 && i + 1 < size) {
            events.push_back({kind & 8 ? event::early : event::resize, "", 1 + data[i] % 100,
                              1 + data[i + 1] * 300 / 256});
            i += 2;
        } else if (kind % 8 == 5) {
            events.push_back({event::table, make_table(pick, cpus, rows, kind)});
        } else {
            events.push_back({event::wait, ""});
        }
    }
    const std::string diff = run(m, events);
    if (!diff.empty()) {
        std::fprintf(stderr, "the screen differs from the model: %s\n", diff.c_str());
        std::abort();
    }
    return 0;
}
