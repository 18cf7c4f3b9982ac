#pragma once

#include <string>

namespace dialo {

/// Folder holding the running executable, without a trailing '/'; empty when unknown.
std::string programDirectory();

}  // namespace dialo
