#include "tools/phone/sound.h"

#include <nlohmann/json.hpp>

#include "audio/capture.h"
#include "audio/devices.h"
#include "audio/playback.h"
#include "audio/tones.h"
#include "base/clock.h"
#include "base/config.h"
#include "base/text.h"
#include "call/live_sender.h"
#include "state/phone_state.h"
#include "store/phone_store.h"
#include "store/saver.h"

namespace dialo {

using nlohmann::json;

bool soundCommand(const std::string& verb, const std::string& rest, const PrintLine& print) {
    if (verb == "devices" && rest.empty()) {
        const std::vector<OutputDeviceInfo> list = listOutputDevices();
        const int chosen = chooseOutputDevice(list, outputId());
        json devices = json::array();
        for (size_t i = 0; i < list.size() && i < kOutputMenuItems; ++i)
            devices.push_back({{"id", list[i].id}, {"name", list[i].displayName}, {"full_name", list[i].fullName},
                               {"chosen", int(i) == chosen}});
        print(json{{"event", "devices"}, {"devices", devices}});
    } else if (verb == "output" && !rest.empty()) {
        if (!chooseOutput(rest)) return print(json{{"error", "No such output device."}}), true;
        if (!flush_phone_store()) return print(json{{"error", "Could not save the phone's files."}}), true;
        print(json{{"event", "output"}, {"label", outputLabel()}});
    } else if (verb == "inputs" && rest.empty()) {
        const std::vector<OutputDeviceInfo> list = listInputDevices();
        const int chosen = chooseInputDevice(list, inputId());
        json devices = json::array();
        for (size_t i = 0; i < list.size(); ++i)
            devices.push_back({{"id", list[i].id}, {"name", list[i].displayName}, {"full_name", list[i].fullName},
                               {"chosen", int(i) == chosen}});
        print(json{{"event", "inputs"}, {"devices", devices}});
    } else if (verb == "input" && !rest.empty()) {
        if (!chooseInput(rest)) return print(json{{"error", "No such microphone."}}), true;
        print(json{{"event", "input"}, {"id", inputId()}});
    } else if (verb == "volume" && (rest == "50" || rest == "100" || rest == "150" || rest == "200")) {
        phoneFlags().volume = std::stoi(rest);
        {
            auto g = lockPhone();
            save_phone_store(g.state);
        }
        if (!flush_phone_store()) return print(json{{"error", "Could not save the phone's files."}}), true;
        print(json{{"event", "volume"}, {"volume", phoneFlags().volume.load()}});
    } else if (verb == "call-delay") {
        // Alone it tells; with a length in milliseconds it sets it (held to 100..2000).
        if (!rest.empty()) {
            int64_t ms = 0;
            if (!readDecimal(rest, 5, ms)) return print(json{{"error", "call-delay takes milliseconds"}}), true;
            (void)setChunkMs(ms);
            {
                auto g = lockPhone();
                save_phone_store(g.state);
            }
            if (!flush_phone_store()) return print(json{{"error", "Could not save the phone's files."}}), true;
        }
        const uint32_t ms = audioConfig().chunkMs;
        const LiveCost cost = liveCostPerMinute(ms);
        print(json{{"event", "call-delay"}, {"ms", ms}, {"chunks_per_minute", cost.chunks}, {"sats_per_minute", cost.sats}});
    } else if (verb == "beep" && rest.empty()) {
        const bool out = outputAvailable();
        if (out) enqueuePcm(messageBeep());
        else systemBeep();
        print(json{{"event", "tone"}, {"tone", "beep"}, {"output", out}});
    } else if (verb == "ring" && rest.empty()) {
        const bool out = outputAvailable();
        playRingTone();
        print(json{{"event", "tone"}, {"tone", "ring"}, {"output", out}});
    } else if (verb == "mic-level" && rest.empty()) {
        const bool capturing = startCapture();
        const int peak = micPeakLevel();
        print(json{{"event", "mic-level"}, {"capturing", capturing}, {"peak", peak}, {"percent", peak * 100 / 32767}});
    } else {
        return false;
    }
    return true;
}

}  // namespace dialo
