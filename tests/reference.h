// A plain reading of the interrupt table to check the sampler against: stdio
// lines of the same buffer size, fields after runs of blanks, strtol for
// every field, through the program's own line map. Shared by the
// differential tests and the differential fuzz target.
#pragma once

#include "kevrane.h"

#include <string>
#include <vector>

namespace kevrane::reference {

// One pass over the table text, applied to copies of a slot's counts and
// totals; `before` is the slot the sampler would carry unfed numbers from.
void plain_pass(const std::string &text, std::vector<std::int64_t> &counts,
                std::vector<std::int64_t> &totals, const std::vector<std::int64_t> &before,
                const std::vector<std::int64_t> &before_totals);

} // namespace kevrane::reference
