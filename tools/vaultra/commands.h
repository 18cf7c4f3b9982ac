#pragma once
// The vaultra commands. Each prints for people, or one JSON object with --json; bad input
// gets one line on standard error and exit code 1.

#include <iosfwd>
#include <string>
#include <vector>

namespace dialo::vaultra_tool {

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace dialo::vaultra_tool
