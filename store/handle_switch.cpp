#include "store/handle_switch.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>

#include "base/json_fields.h"
#include "base/text.h"
#include "state/ui_bridge.h"
#include "store/phone_store.h"
#include "store/store_internal.h"

namespace dialo {

using nlohmann::json;

namespace {

// The loaded handle's key. Changed only by a switch (under the phone-state mutex and the
// store lock); its own mutex lets any thread read it.
std::mutex gKeyMutex;
std::string gCurrentKey;

std::atomic<bool> gHistoryRefreshRequest{false};
std::atomic<bool> gRestorePositionsRequest{false};

void setCurrentKey(const std::string& key) {
    std::lock_guard<std::mutex> lock(gKeyMutex);
    gCurrentKey = key;
}

void clearBoxes(PhoneState& st) { st.boxes = HandleBoxes{}; }

const char* const kHandleKeys[] = {"saved", "calls", "inbox", "answerphone"};

bool isHandleDocument(const json& doc) {
    if (!doc.is_object()) return false;
    return std::any_of(std::begin(kHandleKeys), std::end(kHandleKeys),
                       [&doc](const char* k) { return doc.contains(k); });
}

json arrayOrEmpty(const json& obj, const char* key) {
    auto it = obj.find(key);
    return (it != obj.end() && it->is_array()) ? *it : json::array();
}

// The old layout's calls that were made by or to this handle.
json migratedCalls(const json& shared, const std::string& key) {
    json out = json::array();
    auto it = shared.find("calls");
    if (it == shared.end() || !it->is_array()) return out;
    for (const auto& c : *it) {
        if (!c.is_object()) continue;
        // Compared by store key, so "Bob.Smith" in an old record finds phone-bobsmith.json.
        if (store_key(string_field(c, "from")) == key || store_key(string_field(c, "to")) == key)
            out.push_back(c);
    }
    return out;
}

// The audio files a handle's document names.
std::set<std::string> namedAudio(const json& doc) {
    std::set<std::string> names;
    for (const char* list : {"inbox", "saved"}) {
        auto it = doc.find(list);
        if (it == doc.end() || !it->is_array()) continue;
        for (const auto& m : *it)
            if (m.is_object())
                if (auto f = m.find("audio_file"); f != m.end() && f->is_string()) names.insert(f->get<std::string>());
    }
    return names;
}

}  // namespace

std::string current_store_key() {
    std::lock_guard<std::mutex> lock(gKeyMutex);
    return gCurrentKey;
}

bool take_history_refresh_request() { return gHistoryRefreshRequest.exchange(false); }
bool take_restore_positions_request() { return gRestorePositionsRequest.exchange(false); }

void legacy_saved_check(json& shared, json& doc) {
    auto it = shared.find("saved");
    if (it == shared.end() || !it->is_array() || it->empty()) return;

    std::set<std::string> legacyIds;
    for (const auto& m : *it) {
        if (!m.is_object()) continue;
        std::string id = string_field(m, "id");
        if (!id.empty()) legacyIds.insert(id);
    }

    const std::string key = current_store_key();
    std::string owner = string_field(shared, "legacy_saved_owner");
    if (owner.empty()) {
        shared["legacy_saved_owner"] = key;
        (void)writeFileAtomic(shared_store_path(), json_file_text(shared));
        owner = key;
    }
    if (owner == key) return;

    auto saved = doc.find("saved");
    if (saved == doc.end() || !saved->is_array()) return;
    json kept = json::array();
    for (const auto& m : *saved) {
        std::string id = m.is_object() ? string_field(m, "id") : std::string();
        if (id.empty() || !legacyIds.count(id)) kept.push_back(m);
    }
    *saved = std::move(kept);
}

bool load_handle_file(PhoneState& st) {
    const std::string key = current_store_key();
    if (key.empty()) return false;

    std::string sharedText;
    if (!readIfPresent(shared_store_path(), sharedText)) return false;
    json shared = sharedText.empty() ? json::object() : store_detail::parseStored(sharedText);
    if (!shared.is_object()) shared = json::object();

    const std::string path = handle_store_path(key);
    std::string text;
    // Never created empty: a crash before the first write must not leave a file that does not parse.
    if (!readIfPresent(path, text)) return false;
    json doc = text.empty() ? json() : store_detail::parseStored(text);

    if (isHandleDocument(doc)) {
        legacy_saved_check(shared, doc);
        store_detail::beginAudioLoad(key);
        bool audioUnreadable = false;
        const bool clean = store_detail::applyHandleDocument(st, doc, audioUnreadable);
        // A message whose file is there but did not read would be dropped by the next save:
        // the load fails, and the next switch to the handle tries again.
        if (audioUnreadable) return false;
        if (!clean) {
            // Some values could not be read; the file is rewritten from memory after the
            // switch, so keep what was there first.
            if (!store_detail::keepAside(path, text)) return false;
        }
        store_detail::removeStrayAudio(key, namedAudio(doc));
        return true;
    }

    // No usable handle file: rebuild it from the shared file's old single-file data.
    if (!text.empty() && !store_detail::keepAside(path, text)) return false;
    json fresh = json::object();
    fresh["answerphone"] = [&shared] {
        auto it = shared.find("answerphone");
        return it != shared.end() && it->is_boolean() && it->get<bool>();
    }();
    // Blocked callers must not ring again just because the layout changed.
    fresh["blocked"] = arrayOrEmpty(shared, "blocked");
    fresh["heard"] = arrayOrEmpty(shared, "heard");
    fresh["tomb"] = arrayOrEmpty(shared, "tomb");
    fresh["saved"] = arrayOrEmpty(shared, "saved");
    legacy_saved_check(shared, fresh);
    fresh["inbox"] = json::array();
    fresh["calls"] = migratedCalls(shared, key);
    (void)writeFileAtomic(path, json_file_text(fresh));
    (void)apply_handle_document(st, fresh);
    return true;
}

bool renumber_saved(PhoneState& st) {
    const std::string me = lowerAscii(normalizeHandle(st.ownHandle));
    std::vector<SavedMessage*> others, own;
    for (SavedMessage& m : st.boxes.saved) {
        if (me.empty() || lowerAscii(normalizeHandle(m.from)) != me) others.push_back(&m);
        else own.push_back(&m);
    }
    bool changed = false;
    int32_t n = 0;
    for (auto* list : {&others, &own}) {
        for (SavedMessage* m : *list) {
            ++n;
            if (m->n != n) {
                m->n = n;
                changed = true;
            }
        }
    }
    return changed;
}

void switch_store_handle(const std::string& handle) {
    {
        auto g = lockPhone();
        StoreLockGuard lock;
        const std::string key = store_key(handle);
        if (key == current_store_key()) return;

        if (!current_store_key().empty() && !save_handle_file(g.state)) {
            // Memory is about to be cleared: the saver keeps the old handle's copy, with
            // every message's audio, and writes it when it can.
            store_detail::StoreSnapshot old = store_detail::takeSnapshot(g.state, /*allAudio=*/true);
            store_detail::keepForSaver(old);
        }
        setCurrentKey(key);
        clearBoxes(g.state);

        if (!key.empty()) {
            if (lock.fileLocked() && load_handle_file(g.state)) {
                renumber_saved(g.state);
                // A file of the inline-audio layout gets all its audio files now: the saver
                // writes them, outside the phone-state mutex, when it runs.
                store_detail::StoreSnapshot snap = store_detail::takeSnapshot(g.state);
                if (!store_detail::handOverToSaver(snap) && !save_handle_file(g.state))
                    store_detail::keepForSaver(snap);
            } else {
                // The handle's data could not be read. Forget the key so no save writes the
                // empty lists over its file, and the next switch to it tries again.
                clearBoxes(g.state);
                setCurrentKey({});
            }
        }
    }
    gHistoryRefreshRequest = true;
    gRestorePositionsRequest = true;
    postUi(UiMessage::ConnectionChanged, 1, 0);
    postUi(UiMessage::CardsRefresh, 0, 0);
}

}  // namespace dialo
