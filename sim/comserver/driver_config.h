// The test driver's configuration: a text file with one kdx4610-sim option per line, e.g.
//
//   --fw-version 1.58
//   --fault erase-nak
//   --trace Z:\tmp\run.trace
//
// Blank lines and lines beginning with '#' are skipped. A line is the option and, after the
// first run of blanks, its value (which may itself contain blanks, as paths do).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kdx::sim {

std::vector<std::string> ParseDriverConfig(std::string_view text);

}  // namespace kdx::sim
