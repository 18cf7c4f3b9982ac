#pragma once
// Starting another program without waiting for it, and keeping this one's memory to itself.

#include <string>
#include <vector>

namespace dialo {

/// Starts argv[0] (searched in PATH when it has no '/') detached from this process, with its
/// standard streams on /dev/null, in its own session; true when it was started. It is not
/// left a child of this process, so nothing here needs to reap it.
bool spawnDetached(const std::vector<std::string>& argv);

/// Full path of a program found in PATH; empty when there is none.
std::string findInPath(const std::string& name);

/// Marks this process not dumpable: a crash leaves no core file holding its keys, and other
/// processes of the same user can neither attach to it nor read its memory through /proc.
/// False when the system refused.
bool keepOutOfCoreDumps();

}  // namespace dialo
