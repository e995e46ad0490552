#include "tables.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

namespace kevrane::bench {

namespace {

struct arch_line {
    const char *label;
    const char *desc;
};

constexpr arch_line arch[] = {
    {"NMI", "Non-maskable interrupts"},
    {"LOC", "Local timer interrupts"},
    {"SPU", "Spurious interrupts"},
    {"PMI", "Performance monitoring interrupts"},
    {"IWI", "IRQ work interrupts"},
    {"RTR", "APIC ICR read retries"},
    {"RES", "Rescheduling interrupts"},
    {"CAL", "Function call interrupts"},
    {"TLB", "TLB shootdowns"},
    {"TRM", "Thermal event interrupts"},
    {"THR", "Threshold APIC interrupts"},
    {"DFR", "Deferred Error APIC interrupts"},
    {"MCE", "Machine check exceptions"},
    {"MCP", "Machine check polls"},
};

// Mostly idle sources, some busy ones, a few near the 32-bit limit.
unsigned count(std::mt19937 &rng) {
    switch (rng() % 8) {
    case 0:
    case 1:
    case 2: return 0;
    case 3: return rng() % 100;
    case 4: return rng() % 100000;
    case 5: return rng() % 100000000;
    default: return rng();
    }
}

void append(std::string &out, const char *fmt, auto... args) {
    char buf[128];
    int n = std::snprintf(buf, sizeof buf, fmt, args...);
    out.append(buf, n);
}

// A table whose line i, device or architecture line, counts on CPU c what
// count(i, c) gives.
template <class Count> std::string table(int cpus, int lines, Count count, bool shaped) {
    const int devices = lines > 16 ? lines - 16 : 0;
    int prec = 3;
    for (int n = devices; n >= 1000; n /= 10)
        ++prec;
    std::string out;
    out.reserve(static_cast<std::size_t>(lines + 1) * (cpus * 11 + 80));
    append(out, "%*s", prec + 8, "");
    for (int c = 0; c < cpus; ++c)
        append(out, "CPU%-8d", c);
    out += '\n';
    for (int i = 0; i < devices; ++i) {
        append(out, "%*d: ", prec, i);
        for (int c = 0; c < cpus; ++c)
            append(out, "%10u ", count(i, c));
        // A real table's first lines: the timer and the DMA remappers, merged.
        if (shaped && i == 0)
            out += " IR-IO-APIC    2-edge      timer\n";
        else if (shaped && i <= 4)
            append(out, " DMAR-MSI    %d-edge      dmar%d\n", i - 1, i - 1);
        else
            append(out, " IR-PCI-MSI %u-edge      dev%d-TxRx-%d\n", 100000u + i, i % 7, i);
    }
    const int archs = lines - devices - 2;
    for (int a = 0; a < archs && a < static_cast<int>(std::size(arch)); ++a) {
        append(out, "%*s: ", prec, arch[a].label);
        for (int c = 0; c < cpus; ++c)
            append(out, "%10u ", count(devices + a, c));
        append(out, "  %s\n", arch[a].desc);
    }
    if (lines >= 2) {
        append(out, "%*s: %10u\n", prec, "ERR", 0u);
        append(out, "%*s: %10u\n", prec, "MIS", 0u);
    }
    return out;
}

} // namespace

std::string kernel_table(int cpus, int lines, std::uint32_t seed) {
    std::mt19937 rng(seed);
    return table(
        cpus, lines, [&](int, int) { return count(rng); }, false);
}

std::string shaped_table(int cpus, int lines, std::uint32_t seed) {
    std::mt19937 rng(seed);
    const int devices = lines > 16 ? lines - 16 : 0;
    // Each device's CPUs: none for nine in ten, otherwise one to four.
    std::vector<std::vector<int>> bound(devices);
    for (auto &b : bound)
        if (rng() % 10 == 0)
            for (int n = 1 + rng() % 4; n > 0; --n)
                b.push_back(static_cast<int>(rng() % cpus));
    return table(
        cpus, lines,
        [&](int i, int c) -> unsigned {
            if (i < devices) {
                const auto &b = bound[i];
                return std::find(b.begin(), b.end(), c) != b.end() ? 1 + rng() % 100000000 : 0;
            }
            const char *label = arch[i - devices].label;
            const bool all = !std::strcmp(label, "LOC") || !std::strcmp(label, "RES") ||
                             !std::strcmp(label, "CAL") || !std::strcmp(label, "MCP");
            const bool most = !std::strcmp(label, "TLB") && rng() % 5 < 3;
            return all || most ? 1 + rng() % 100000000 : 0;
        },
        true);
}

} // namespace kevrane::bench
