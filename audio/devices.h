#pragma once
// The output devices a user may choose: loudspeakers and headphones, without microphones,
// display audio, digital pass-through or graphics cards' outputs, under names a user knows.
// And the microphones: the sound system's inputs, without the monitors of its outputs.

#include <string>
#include <vector>

#include "audio/backend.h"

namespace dialo {

struct OutputDeviceInfo {
    std::string id;           // the sound system's name; stored as the user's choice
    std::string displayName;  // shown in the menu and on the Settings button
    std::string fullName;     // the sound system's description
    bool isDefault = false;   // the sound system's own default
};

/// The acceptable devices of `sinks`, in order, with distinct display names.
std::vector<OutputDeviceInfo> acceptableOutputs(const std::vector<SinkInfo>& sinks);

/// The devices present now.
std::vector<OutputDeviceInfo> listOutputDevices();

/// The stored choice when present, else the sound system's default, else a "main speaker",
/// else the first; -1 for none.
int chooseOutputDevice(const std::vector<OutputDeviceInfo>& list, const std::string& id);

/// The microphones present now, at most `kOutputMenuItems`, with distinct display names.
std::vector<OutputDeviceInfo> listInputDevices();

/// The stored choice when present, else the sound system's default, else the first; -1 for none.
int chooseInputDevice(const std::vector<OutputDeviceInfo>& list, const std::string& id);

/// "Output: " and the chosen device's display name, or "Output: none".
std::string outputLabel();

/// How many devices the output menu offers at most.
inline constexpr size_t kOutputMenuItems = 20;

}  // namespace dialo
