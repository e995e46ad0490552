// Interrupt tables in the kernel's own format, of any size, for benchmarks.
#pragma once

#include <cstdint>
#include <string>

namespace kevrane::bench {

// A table of `lines` data lines over `cpus` CPUs as the kernel prints it:
// device lines, then the architecture lines, ERR and MIS.
std::string kernel_table(int cpus, int lines, std::uint32_t seed);

} // namespace kevrane::bench
