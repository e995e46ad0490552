// Interrupt tables in the kernel's own format, of any size, for benchmarks.
#pragma once

#include <cstdint>
#include <string>

namespace kevrane::bench {

// A table of `lines` data lines over `cpus` CPUs as the kernel prints it:
// device lines, then the architecture lines, ERR and MIS.
std::string kernel_table(int cpus, int lines, std::uint32_t seed);

// The same in the shape of a real large machine's table: a device fires on
// the one CPU or few it is bound to, nine in ten not at all; LOC, RES, CAL
// and MCP count on every CPU, TLB on three in five, the other architecture
// lines nowhere.
std::string shaped_table(int cpus, int lines, std::uint32_t seed);

} // namespace kevrane::bench
