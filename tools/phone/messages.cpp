#include "tools/phone/messages.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "audio/gsm.h"
#include "audio/playback.h"
#include "audio/wav.h"
#include "base/text.h"
#include "state/phone_state.h"
#include "state/ui_bridge.h"
#include "store/messages.h"
#include "store/phone_store.h"
#include "store/saver.h"
#include "wallet/published.h"

namespace dialo {
namespace {

using nlohmann::json;

bool contains(const std::vector<std::string>& list, const std::string& id) {
    return std::find(list.begin(), list.end(), id) != list.end();
}

json listJson(bool saved) {
    json list = json::array();
    auto g = lockPhone();
    const HandleBoxes& b = g.state.boxes;
    if (saved) {
        for (const SavedMessage& m : b.saved)
            list.push_back({{"n", m.n}, {"id", m.id}, {"from", m.from}, {"seconds", m.audio.size() / kGsmBytesPerSecond},
                            {"txid", m.txid}});
        return json{{"event", "saved"}, {"messages", list}};
    }
    for (const InboxMessage& m : b.inbox)
        list.push_back({{"id", m.id}, {"from", m.from}, {"time", formatMessageTime(m.ts)}, {"ts", m.ts}, {"seconds", m.secs},
                        {"heard", contains(b.heard, m.id)}, {"txid", m.txid}});
    return json{{"event", "inbox"}, {"messages", list}};
}

// A message's audio from the saved list or the inbox.
bool findAudio(const std::string& id, Bytes& audio) {
    auto g = lockPhone();
    for (const SavedMessage& m : g.state.boxes.saved)
        if (m.id == id) return audio = m.audio, !audio.empty();
    for (const InboxMessage& m : g.state.boxes.inbox)
        if (m.id == id) return audio = m.audio, !audio.empty();
    return false;
}

json play(const std::string& id) {
    Bytes audio;
    std::string status;
    if (!published_wallet().connected) status = "Connect Vaultra as the recipient.";  // messages are sealed to it
    else if (!findAudio(id, audio)) status = "That row has no message.";
    else status = playMessage(audio);
    if (!status.empty()) setStatus(status);
    return json{{"event", "play"}, {"id", id}, {"ok", status.empty()}, {"status", status}};
}

json exportWav(const std::string& rest) {
    const size_t blank = rest.find(' ');
    const std::string id = rest.substr(0, blank), file = blank == std::string::npos ? "" : rest.substr(blank + 1);
    if (file.empty()) return json{{"error", "export ID FILE.wav"}};
    Bytes audio;
    if (!findAudio(id, audio)) return json{{"error", "No such message."}};
    const double seconds = exportMessageWav(file, audio);
    if (seconds < 0) return json{{"error", "The file could not be written."}};
    return json{{"event", "export"}, {"id", id}, {"file", file}, {"seconds", seconds}};
}

}  // namespace

bool messageCommand(const std::string& verb, const std::string& rest, const PrintLine& print) {
    if ((verb == "inbox" || verb == "saved") && rest.empty()) {
        print(listJson(verb == "saved"));
    } else if (verb == "play" && !rest.empty()) {
        print(play(rest));
    } else if ((verb == "pause" || verb == "resume") && rest.empty()) {
        const PlaybackClock c = playbackClock();
        if (c.playing && c.paused != (verb == "pause")) togglePause();
        print(json{{"event", verb}, {"playing", playbackClock().playing}, {"paused", playbackClock().paused}});
    } else if (verb == "stop" && rest.empty()) {
        stopPlayback();
        print(json{{"event", "stop"}});
    } else if (verb == "save" && !rest.empty()) {
        int n;
        {
            auto g = lockPhone();
            n = save_inbox_message(g.state, rest);
            if (n > 0) {
                save_phone_store(g.state);
                g.state.statusText = "Saved as message " + std::to_string(n) + ".";
            }
        }
        const bool stored = flush_phone_store();
        postUi(UiMessage::CardsRefresh);
        postUi(UiMessage::Refresh);
        if (!stored) print(json{{"error", "Could not save the phone's files."}});
        else print(n > 0 ? json{{"event", "save"}, {"id", rest}, {"n", n}} : json{{"error", "No such message in the inbox."}});
    } else if (verb == "delete" && !rest.empty()) {
        bool deleted;
        {
            auto g = lockPhone();
            deleted = delete_message(g.state, rest);
            if (deleted) save_phone_store(g.state);
        }
        const bool stored = flush_phone_store();
        postUi(UiMessage::CardsRefresh);
        if (!stored) print(json{{"error", "Could not save the phone's files."}});
        else print(json{{"event", "delete"}, {"id", rest}, {"deleted", deleted}});
    } else if (verb == "export" && !rest.empty()) {
        print(exportWav(rest));
    } else if (verb == "mute" && (rest == "on" || rest == "off")) {
        phoneFlags().mute = rest == "on";
        print(json{{"event", "mute"}, {"mute", rest == "on"}});
    } else {
        return false;
    }
    return true;
}

}  // namespace dialo
