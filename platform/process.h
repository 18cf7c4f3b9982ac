#pragma once
// Starting another program without waiting for it.

#include <string>
#include <vector>

namespace dialo {

/// Starts argv[0] (searched in PATH when it has no '/') detached from this process, with its
/// standard streams on /dev/null, in its own session; true when it was started. It is not
/// left a child of this process, so nothing here needs to reap it.
bool spawnDetached(const std::vector<std::string>& argv);

/// Full path of a program found in PATH; empty when there is none.
std::string findInPath(const std::string& name);

}  // namespace dialo
