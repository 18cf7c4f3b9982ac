#pragma once
// dialo-phone: the phone without windows. Commands arrive one per line; every answer and
// every change the core reports is one compact JSON object per line.

#include <iosfwd>
#include <string>

namespace dialo {

/// Runs start-up, the command loop over `in` until "quit" or end of input, then shutdown.
/// As an echo line it answers every call and sends back what it hears. Returns the process
/// exit code.
int runConsole(std::istream& in, std::ostream& out, bool echoLine = false);

}  // namespace dialo
