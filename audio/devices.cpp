#include "audio/devices.h"

#include "audio/playback.h"
#include "base/text.h"

namespace dialo {
namespace {

// The part of a description before its first " (", when that is not its start.
std::string displayNameOf(const std::string& description) {
    const size_t paren = description.find(" (");
    return paren != std::string::npos && paren >= 1 ? description.substr(0, paren) : description;
}

// Of equal display names all but the last show their full names.
void makeDistinct(std::vector<OutputDeviceInfo>& list) {
    for (size_t i = 0; i < list.size(); ++i)
        for (size_t j = 0; j < list.size(); ++j)
            if (j != i && list[j].displayName == list[i].displayName) {
                list[i].displayName = list[i].fullName;
                break;
            }
}

int storedOrDefault(const std::vector<OutputDeviceInfo>& list, const std::string& id) {
    if (!id.empty())
        for (size_t i = 0; i < list.size(); ++i)
            if (list[i].id == id) return int(i);
    for (size_t i = 0; i < list.size(); ++i)
        if (list[i].isDefault) return int(i);
    return -1;
}

}  // namespace

std::vector<OutputDeviceInfo> acceptableOutputs(const std::vector<SinkInfo>& sinks) {
    std::vector<OutputDeviceInfo> list;
    for (const SinkInfo& s : sinks) {
        const int ff = s.formFactor;
        if (ff < kFormSpeakers || ff == kFormMicrophone || ff > kFormHandset) continue;
        const std::string lower = lowerAscii(s.description);
        bool rejected = s.description.empty() || s.id.empty();
        for (const char* word : {"nvidia", "avermedia", "spdif", "s/pdif", "digital audio"})
            rejected = rejected || lower.find(word) != std::string::npos;
        if (rejected) continue;
        list.push_back({s.id, displayNameOf(s.description), s.description, s.isDefault});
    }
    makeDistinct(list);
    return list;
}

std::vector<OutputDeviceInfo> listOutputDevices() { return acceptableOutputs(soundBackend().listSinks()); }

int chooseOutputDevice(const std::vector<OutputDeviceInfo>& list, const std::string& id) {
    if (list.empty()) return -1;
    if (const int chosen = storedOrDefault(list, id); chosen >= 0) return chosen;
    for (size_t i = 0; i < list.size(); ++i)
        if (lowerAscii(list[i].displayName).find("main speaker") != std::string::npos) return int(i);
    return 0;
}

std::vector<OutputDeviceInfo> listInputDevices() {
    std::vector<OutputDeviceInfo> list;
    for (const SinkInfo& s : soundBackend().listSources()) {
        if (s.description.empty() || s.id.empty()) continue;
        list.push_back({s.id, displayNameOf(s.description), s.description, s.isDefault});
        if (list.size() == kOutputMenuItems) break;
    }
    makeDistinct(list);
    return list;
}

int chooseInputDevice(const std::vector<OutputDeviceInfo>& list, const std::string& id) {
    if (list.empty()) return -1;
    const int chosen = storedOrDefault(list, id);
    return chosen >= 0 ? chosen : 0;
}

std::string outputLabel() {
    const std::vector<OutputDeviceInfo> list = listOutputDevices();
    const int chosen = chooseOutputDevice(list, outputId());
    return chosen < 0 ? "Output: none" : "Output: " + list[size_t(chosen)].displayName;
}

}  // namespace dialo
