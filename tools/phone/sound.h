#pragma once
// dialo-phone's sound commands: the output devices and the choice among them, the volume,
// the phone's tones, and the microphone's level for a user checking it.

#include <string>

#include "tools/phone/calls.h"

namespace dialo {

/// Runs one sound command; false when the verb is not one of them.
bool soundCommand(const std::string& verb, const std::string& rest, const PrintLine& print);

}  // namespace dialo
