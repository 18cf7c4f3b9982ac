#pragma once

#include <string>

namespace dialo {

/// Full path of the running executable; empty when unknown.
std::string programPath();

/// Folder holding the running executable, without a trailing '/'; empty when unknown.
std::string programDirectory();

/// The environment variable's value; empty when unset.
std::string envText(const char* name);

}  // namespace dialo
