#pragma once
// dialo-phone's message commands: the answer-phone inbox and the saved messages, hearing,
// keeping, deleting and exporting them, and muting the microphone.

#include <string>

#include "tools/phone/calls.h"

namespace dialo {

/// Runs one message command; false when the verb is not one of them.
bool messageCommand(const std::string& verb, const std::string& rest, const PrintLine& print);

}  // namespace dialo
