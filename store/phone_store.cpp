#include "store/phone_store.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <sys/stat.h>

#include "base/base64.h"
#include "base/clock.h"
#include "base/config.h"
#include "base/json_fields.h"
#include "base/text.h"
#include "platform/data_dir.h"
#include "store/handle_switch.h"
#include "store/store_internal.h"

namespace dialo {

using nlohmann::json;

namespace store_detail {

bool hasKey(const json& obj, const char* key) { return obj.is_object() && obj.contains(key); }

json parseStored(const std::string& text) {
    if (!json_depth_within(text)) return json(json::value_t::discarded);
    return json::parse(text, nullptr, false);
}

int64_t JsonReader::integer(const json& obj, const char* key, int64_t def, int64_t lo, int64_t hi) {
    auto it = obj.find(key);
    if (it == obj.end() || it->is_null()) return def;
    int64_t v;
    if (it->is_boolean()) {
        v = it->get<bool>() ? 1 : 0;
    } else if (it->is_number_integer()) {
        v = it->get<int64_t>();
    } else if (it->is_number_unsigned()) {
        uint64_t u = it->get<uint64_t>();
        if (u > uint64_t(INT64_MAX)) { fault = true; return def; }
        v = int64_t(u);
    } else if (it->is_number_float()) {
        double d = std::trunc(it->get<double>());
        // Outside int64 the cast would be undefined.
        if (!std::isfinite(d) || d < -9.2e18 || d > 9.2e18) { fault = true; return def; }
        v = int64_t(d);
    } else {
        fault = true;
        return def;
    }
    if (v < lo || v > hi) { fault = true; return def; }
    return v;
}

bool JsonReader::boolean(const json& obj, const char* key, bool def) {
    auto it = obj.find(key);
    if (it == obj.end() || it->is_null()) return def;
    if (!it->is_boolean()) { fault = true; return def; }
    return it->get<bool>();
}

std::string JsonReader::text(const json& obj, const char* key) {
    auto it = obj.find(key);
    if (it == obj.end() || it->is_null()) return {};
    if (!it->is_string()) { fault = true; return {}; }
    return it->get<std::string>();
}

namespace {

int quantiseVolume(int64_t v) {
    if (v < 75) return 50;
    if (v < 125) return 100;
    if (v < 175) return 150;
    return 200;
}

int menuIndex(int64_t v) { return (v < 0 || v > 3) ? 0 : int(v); }

}  // namespace

void applySettings(const json& doc, PhoneSettings& s, JsonReader& r) {
    if (!doc.is_object()) return;
    if (hasKey(doc, "admin")) s.admin = r.boolean(doc, "admin", s.admin);
    if (hasKey(doc, "theme")) s.theme = menuIndex(r.integer(doc, "theme", 0));
    if (hasKey(doc, "notify")) s.notify = menuIndex(r.integer(doc, "notify", 0));
    if (hasKey(doc, "volume")) phoneFlags().volume = quantiseVolume(r.integer(doc, "volume", 100));
    if (hasKey(doc, "bsv")) s.bsv = r.boolean(doc, "bsv", false);
    if (auto it = doc.find("output"); it != doc.end() && it->is_string()) s.output = it->get<std::string>();
    if (auto it = doc.find("input"); it != doc.end() && it->is_string()) s.input = it->get<std::string>();
    if (hasKey(doc, "main_x") && hasKey(doc, "main_y")) {
        s.mainPos.x = int32_t(r.integer(doc, "main_x", 0, INT32_MIN, INT32_MAX));
        s.mainPos.y = int32_t(r.integer(doc, "main_y", 0, INT32_MIN, INT32_MAX));
        s.mainPos.valid = true;
    }
    if (auto it = doc.find("boxes"); it != doc.end() && it->is_array()) {
        for (int k = 1; k <= kCardKinds; ++k) s.cardPos[size_t(k)] = CardPosition{};
        for (const auto& e : *it) {
            if (!e.is_object()) { r.fault = true; continue; }
            int64_t k = r.integer(e, "k", 0);
            if (k < 1 || k > kCardKinds) continue;
            CardPosition& p = s.cardPos[size_t(k)];
            p.x = int32_t(r.integer(e, "x", 0, INT32_MIN, INT32_MAX));
            p.y = int32_t(r.integer(e, "y", 0, INT32_MIN, INT32_MAX));
            p.valid = true;
        }
    }
}

bool keepAside(const std::string& path, const std::string& text) {
    std::string aside = path + ".bak";
    struct stat st{};
    for (int n = 1; ::stat(aside.c_str(), &st) == 0; ++n) aside = path + ".bak." + std::to_string(n);
    return writeFileAtomic(aside, text);
}

}  // namespace store_detail

using store_detail::JsonReader;
using store_detail::hasKey;

namespace {

std::mutex gStoreMutex;

bool isAllowedKeyChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

json settingsBoxes(const PhoneSettings& s) {
    json boxes = json::array();
    for (int k = 1; k <= kCardKinds; ++k) {
        const CardPosition& p = s.cardPos[size_t(k)];
        if (p.valid) boxes.push_back(json{{"k", k}, {"x", p.x}, {"y", p.y}});
    }
    return boxes;
}

// Keys both files carry: the per-handle copy wins when that handle is switched in.
void writeDisplaySettings(const PhoneSettings& s, json& doc) {
    doc["theme"] = s.theme;
    doc["notify"] = s.notify;
    doc["volume"] = phoneFlags().volume.load();
    doc["bsv"] = s.bsv;
    if (!s.output.empty()) doc["output"] = s.output;
    if (!s.input.empty()) doc["input"] = s.input;
    if (s.mainPos.valid) {
        doc["main_x"] = s.mainPos.x;
        doc["main_y"] = s.mainPos.y;
    }
    doc["boxes"] = settingsBoxes(s);
}

// Events older than this can no longer ring or change a call: an invite is stale after 3
// minutes, so half an hour is plenty.
constexpr int64_t kHandledKeepSeconds = 1800;

void pruneHandled(HandleBoxes& b) {
    const int64_t oldest = nowSeconds() - kHandledKeepSeconds;
    std::erase_if(b.handled, [oldest](const HandledTxid& h) { return h.at < oldest; });
}

std::string txidIfFull(const std::string& txid) { return txid.size() == 64 ? txid : std::string(); }

// A receipt is an extra the phone can live without: what does not read is left out.
void readReceipt(const json& o, CallReceipt& out) {
    auto txids = [&o](const char* key, const char* kindsKey, std::vector<std::string>& list,
                      std::vector<std::string>& kinds) {
        auto it = o.find(key);
        if (it == o.end() || !it->is_array()) return;
        // Kinds sit beside the txids, index for index; files from before them have none.
        auto k = o.find(kindsKey);
        const bool withKinds = k != o.end() && k->is_array();
        for (size_t i = 0; i < it->size(); ++i) {
            const json& t = (*it)[i];
            if (!t.is_string() || t.get_ref<const std::string&>().size() != 64 || list.size() >= kReceiptTxids) continue;
            list.push_back(t.get<std::string>());
            const json* kind = withKinds && i < k->size() ? &(*k)[i] : nullptr;
            if (withKinds)
                kinds.push_back(kind && kind->is_string() && kind->get_ref<const std::string&>().size() <= 16
                                    ? kind->get<std::string>()
                                    : std::string());
        }
    };
    auto count = [&o](const char* key, size_t listed) {
        auto it = o.find(key);
        const int64_t n = it != o.end() && it->is_number_integer() ? it->get<int64_t>() : 0;
        return int32_t(std::clamp<int64_t>(n, int64_t(listed), INT32_MAX));
    };
    txids("sent", "sentkinds", out.sent, out.sentKinds);
    txids("heard", "heardkinds", out.heard, out.heardKinds);
    out.sentCount = count("nsent", out.sent.size());
    out.heardCount = count("nheard", out.heard.size());
    if (auto fee = o.find("fee"); fee != o.end() && fee->is_object()) {
        auto txid = fee->find("txid");
        auto sats = fee->find("sats");
        if (txid != fee->end() && txid->is_string() && txid->get_ref<const std::string&>().size() == 64 &&
            sats != fee->end() && sats->is_number_integer() && sats->get<int64_t>() > 0) {
            out.feeTxid = txid->get<std::string>();
            out.feeSats = sats->get<int64_t>();
        }
    }
}

void capCalls(std::vector<CallRecord>& calls) {
    while (calls.size() > kCallsCap) calls.erase(calls.begin());
}

}  // namespace

std::string store_key(const std::string& handle) {
    std::string lowered = lowerAscii(normalizeHandle(handle));
    std::string key;
    for (char c : lowered)
        if (isAllowedKeyChar(c)) key += c;
    return key;
}

std::string store_directory() {
    std::string dir = platformDirectory() + "/dialo";
    ensureDirectory(dir);
    return dir;
}

std::string shared_store_path() { return store_directory() + "/phone.json"; }

std::string handle_store_path(const std::string& key) {
    if (key.empty()) return {};
    return store_directory() + "/phone-" + key + ".json";
}

std::string store_lock_path() { return store_directory() + "/phone.lock"; }

StoreLockGuard::StoreLockGuard() : mutex_(gStoreMutex), file_(store_lock_path()) {}

void load_settings() {
    auto g = lockPhone();
    StoreLockGuard lock;
    // A phone killed mid-save leaves its temporary copy behind; nothing else ever removes it.
    removeDeadTempFiles(store_directory());
    std::string text;
    // A first run leaves an empty shared file behind, as a marker that the phone has run.
    if (!readWholeFile(shared_store_path(), text, /*createMissing=*/true) || text.empty()) return;
    json doc = store_detail::parseStored(text);
    if (!doc.is_object()) return;
    JsonReader reader;
    store_detail::applySettings(doc, g.state.settings, reader);
    applyConfigDocument(doc);
}

namespace store_detail {

bool writeSharedSettings(const json& settings) {
    std::string path = shared_store_path();
    std::string text;
    if (!readIfPresent(path, text)) return false;
    json doc = text.empty() ? json::object() : parseStored(text);
    if (!doc.is_object()) {
        // Whatever the user had there (a hand-edited network block, say) stays readable beside it.
        if (!keepAside(path, text)) return false;
        doc = json::object();
    }
    for (const auto& [key, value] : settings.items()) {
        // An object's keys are merged into the one there: "audio" holds the user's backend and
        // files, and only its chunk length is a setting.
        if (value.is_object() && doc.contains(key) && doc[key].is_object()) {
            for (const auto& [inner, v] : value.items()) doc[key][inner] = v;
        } else {
            doc[key] = value;
        }
    }
    std::string fresh = json_file_text(doc);
    return fresh == text || storeWrite(path, fresh);
}

}  // namespace store_detail

namespace {

json settingsDocument(const PhoneSettings& s) {
    json doc = json::object();
    doc["admin"] = s.admin;
    writeDisplaySettings(s, doc);
    // Only once the file has it or the user chose it: a file as typed stays as typed.
    if (const AudioConfig audio = audioConfig(); audio.chunkMsSet) doc["audio"] = {{"chunk_ms", audio.chunkMs}};
    return doc;
}

}  // namespace

void save_settings(const PhoneState& st) { (void)store_detail::writeSharedSettings(settingsDocument(st.settings)); }

bool block_handle(PhoneState& st, const std::string& handle) {
    // Kept as the identity the handle names, however it was typed ("$Mallory", "@mallory@...").
    const std::string bare = speakerHandle(normalizeHandle(handle));
    std::vector<std::string>& list = st.boxes.blocked;
    if (bare.empty() || std::find(list.begin(), list.end(), bare) != list.end()) return false;
    list.push_back(bare);
    return true;
}

bool unblock_handle(PhoneState& st, const std::string& handle) {
    const std::string bare = speakerHandle(normalizeHandle(handle));
    return std::erase_if(st.boxes.blocked, [&bare](const std::string& b) { return speakerHandle(normalizeHandle(b)) == bare; }) > 0;
}

bool note_handled_txid(PhoneState& st, const std::string& txid, const std::string& ringingCallId) {
    if (!is_hex64(txid)) return false;
    pruneHandled(st.boxes);
    for (const HandledTxid& h : st.boxes.handled)
        if (h.txid == txid) return false;
    st.boxes.handled.push_back({txid, ringingCallId, nowSeconds()});
    return true;
}

namespace {

using AudioList = std::vector<std::pair<std::string, const Bytes*>>;

// The per-handle document; messages name their audio file. `refs` and `audio` (when given)
// collect those names, and the audio behind each.
json handleDocument(PhoneState& st, std::set<std::string>* refs, AudioList* audio) {
    HandleBoxes& b = st.boxes;
    if (b.inbox.size() > kInboxCap)
        b.inbox.erase(b.inbox.begin(), b.inbox.begin() + ptrdiff_t(b.inbox.size() - kInboxCap));

    auto audioFile = [&](const std::string& id, const Bytes& bytes) {
        std::string name = store_detail::audioFileName(id, bytes);
        if (refs) refs->insert(name);
        if (audio) audio->emplace_back(name, &bytes);
        return name;
    };

    const PhoneSettings& s = st.settings;
    json doc = json::object();
    doc["answerphone"] = b.answerphone;
    doc["blocked"] = b.blocked;
    writeDisplaySettings(s, doc);
    doc["heard"] = b.heard;
    doc["tomb"] = b.tomb;

    json saved = json::array();
    for (const SavedMessage& m : b.saved) {
        // Nothing to play: a load would drop it anyway.
        if (m.audio.empty()) continue;
        json o{{"n", m.n}, {"id", m.id}, {"from", m.from}, {"audio_file", audioFile(m.id, m.audio)}};
        if (std::string t = txidIfFull(m.txid); !t.empty()) o["txid"] = t;
        saved.push_back(std::move(o));
    }
    doc["saved"] = std::move(saved);

    json calls = json::array();
    for (const CallRecord& c : b.calls) {
        json o{{"from", c.from}, {"to", c.to},     {"secs", c.secs},
               {"sats", c.sats}, {"ts", c.ts},     {"missed", c.missed}};
        if (c.hide) o["hide"] = true;
        if (!c.id.empty()) o["id"] = c.id;
        if (!c.txid.empty()) o["txid"] = c.txid;
        if (c.receipt.sentCount > 0 || c.receipt.heardCount > 0) {
            o["receipt"] = {{"sent", c.receipt.sent},
                            {"heard", c.receipt.heard},
                            {"nsent", c.receipt.sentCount},
                            {"nheard", c.receipt.heardCount}};
            if (!c.receipt.sentKinds.empty()) o["receipt"]["sentkinds"] = c.receipt.sentKinds;
            if (!c.receipt.heardKinds.empty()) o["receipt"]["heardkinds"] = c.receipt.heardKinds;
            if (!c.receipt.feeTxid.empty())
                o["receipt"]["fee"] = {{"txid", c.receipt.feeTxid}, {"sats", c.receipt.feeSats}};
        }
        calls.push_back(std::move(o));
    }
    doc["calls"] = std::move(calls);

    json inbox = json::array();
    for (const InboxMessage& m : b.inbox) {
        if (m.id.empty() || m.audio.empty()) continue;
        json o{{"id", m.id}, {"from", m.from}, {"audio_file", audioFile(m.id, m.audio)}, {"ts", m.ts}, {"secs", m.secs}};
        if (std::string t = txidIfFull(m.txid); !t.empty()) o["txid"] = t;
        inbox.push_back(std::move(o));
    }
    doc["inbox"] = std::move(inbox);

    pruneHandled(b);
    json handled = json::array();
    for (const HandledTxid& h : b.handled) {
        json o{{"txid", h.txid}, {"at", h.at}};
        if (!h.callId.empty()) o["call"] = h.callId;
        handled.push_back(std::move(o));
    }
    doc["handled"] = std::move(handled);
    return doc;
}

// Orders snapshots: taken under the phone-state mutex, so a larger number saw a later state.
std::atomic<uint64_t> gSnapshotSeq{0};

}  // namespace

json build_handle_document(PhoneState& st) { return handleDocument(st, nullptr, nullptr); }

namespace store_detail {

StoreSnapshot takeSnapshot(PhoneState& st, bool allAudio) {
    StoreSnapshot snap;
    snap.seq = ++gSnapshotSeq;
    snap.settings = settingsDocument(st.settings);
    snap.key = current_store_key();
    if (snap.key.empty()) return snap;
    AudioList audio;
    snap.handleDoc = handleDocument(st, &snap.audioRefs, &audio);
    queueNewAudio(snap.key, snap.seq, audio, allAudio);
    return snap;
}

}  // namespace store_detail

namespace {

// A handle's file written now; named audio files found gone are queued again from memory
// (all at once) and the write tried once more.
bool writeHandleNow(PhoneState& st) REQUIRES(phoneMutex()) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        store_detail::StoreSnapshot snap = store_detail::takeSnapshot(st);
        if (snap.key.empty()) return true;
        const auto outcome = store_detail::writeHandleSnapshot(snap);
        if (outcome != store_detail::WriteOutcome::AudioMissing) return outcome == store_detail::WriteOutcome::Written;
    }
    return false;
}

}  // namespace

bool save_handle_file(PhoneState& st) { return writeHandleNow(st); }

void save_phone_store(PhoneState& st) {
    store_detail::StoreSnapshot snap = store_detail::takeSnapshot(st);
    if (store_detail::handOverToSaver(snap)) return;
    // No saver runs (tests, tools): written here and now, as before.
    StoreLockGuard lock;
    // Without the inter-process lock another phone may be mid read-modify-write of the
    // shared file; writing it now could drop that phone's keys.
    if (store_detail::writeSnapshot(snap, lock.fileLocked()) == store_detail::WriteOutcome::AudioMissing)
        (void)writeHandleNow(st);
}

bool apply_handle_document(PhoneState& st, const json& doc) {
    bool audioUnreadable = false;
    return store_detail::applyHandleDocument(st, doc, audioUnreadable) && !audioUnreadable;
}

bool store_detail::applyHandleDocument(PhoneState& st, const json& doc, bool& audioUnreadable) {
    JsonReader r;
    audioUnreadable = false;
    const std::string key = current_store_key();
    // A message's audio: its own file beside the store, or inline base64 in files written
    // before audio had files. A file that is gone leaves the message out.
    auto messageAudio = [&r, &key, &audioUnreadable](const json& e, const std::string& id) {
        Bytes audio;
        if (!hasKey(e, "audio_file")) return base64Decode(r.text(e, "audio"));
        const std::string name = r.text(e, "audio_file");
        // Only the name the id gives is read: a document cannot point anywhere else. Without
        // an id the sound names itself, checked once read; files from before that carry the
        // empty id's name.
        const bool noId = id.empty() && name != store_detail::audioFileName(id);
        if (key.empty() || (!noId && name != store_detail::audioFileName(id))) return Bytes{};
        switch (store_detail::readAudioFile(key, name, audio)) {
            case store_detail::AudioRead::Read:
                break;
            case store_detail::AudioRead::Missing:
                return Bytes{};
            case store_detail::AudioRead::Failed:
                r.fault = true;
                audioUnreadable = true;
                return Bytes{};
        }
        if (noId && name != store_detail::audioFileName(id, audio)) return Bytes{};
        store_detail::noteAudioLoaded(key, name);
        return audio;
    };
    HandleBoxes& b = st.boxes;
    if (!doc.is_object()) return false;

    b.answerphone = r.boolean(doc, "answerphone", false);

    auto stringList = [&r, &doc](const char* key, std::vector<std::string>& out) {
        out.clear();
        auto it = doc.find(key);
        if (it == doc.end() || it->is_null()) return;
        if (!it->is_array()) { r.fault = true; return; }
        for (const auto& e : *it) {
            if (e.is_string()) out.push_back(e.get<std::string>());
            else r.fault = true;
        }
    };

    std::vector<std::string> blocked;
    stringList("blocked", blocked);
    b.blocked.clear();
    for (const std::string& h : blocked) {
        std::string bare = lowerAscii(normalizeHandle(h));
        if (bare.empty()) continue;
        if (std::find(b.blocked.begin(), b.blocked.end(), bare) == b.blocked.end()) b.blocked.push_back(bare);
    }
    stringList("heard", b.heard);
    stringList("tomb", b.tomb);

    // Each list: a non-array value or a non-object element is a fault, not a reason to stop.
    auto eachObject = [&r, &doc](const char* key, auto&& take) {
        auto it = doc.find(key);
        if (it == doc.end() || it->is_null()) return;
        if (!it->is_array()) { r.fault = true; return; }
        for (const auto& e : *it) {
            if (e.is_object()) take(e);
            else r.fault = true;
        }
    };

    b.saved.clear();
    eachObject("saved", [&](const json& e) {
        SavedMessage m;
        m.n = int32_t(r.integer(e, "n", 0, INT32_MIN, INT32_MAX));
        m.id = r.text(e, "id");
        m.from = r.text(e, "from");
        m.txid = r.text(e, "txid");
        if (m.n <= 0) return;
        m.audio = messageAudio(e, m.id);
        if (m.n > 0 && !m.audio.empty()) b.saved.push_back(std::move(m));
    });

    b.calls.clear();
    eachObject("calls", [&](const json& e) {
        CallRecord c;
        c.from = r.text(e, "from");
        c.to = r.text(e, "to");
        c.secs = int32_t(r.integer(e, "secs", 0, INT32_MIN, INT32_MAX));
        c.sats = r.integer(e, "sats", 0);
        c.ts = r.integer(e, "ts", 0);
        c.missed = r.boolean(e, "missed", false);
        c.hide = r.boolean(e, "hide", false);
        c.id = r.text(e, "id");
        c.txid = r.text(e, "txid");
        if (auto it = e.find("receipt"); it != e.end() && it->is_object()) readReceipt(*it, c.receipt);
        b.calls.push_back(std::move(c));
    });

    b.inbox.clear();
    auto listed = [](const std::vector<std::string>& list, const std::string& id) {
        return std::find(list.begin(), list.end(), id) != list.end();
    };
    eachObject("inbox", [&](const json& e) {
        InboxMessage m;
        m.id = r.text(e, "id");
        m.from = r.text(e, "from");
        m.txid = r.text(e, "txid");
        m.ts = r.integer(e, "ts", 0);
        m.secs = int32_t(r.integer(e, "secs", 0, INT32_MIN, INT32_MAX));
        if (m.id.empty() || listed(b.tomb, m.id) || listed(b.heard, m.id)) return;
        m.audio = messageAudio(e, m.id);
        if (m.audio.empty()) return;
        b.inbox.push_back(std::move(m));
    });

    b.handled.clear();
    eachObject("handled", [&](const json& e) {
        HandledTxid h{r.text(e, "txid"), r.text(e, "call"), r.integer(e, "at", 0)};
        if (!is_hex64(h.txid)) return;
        b.handled.push_back(h);
        // What was acted on before is not fetched again, and a call that rang does not ring again.
        st.knownTxids.insert(lowerAscii(h.txid));
        if (!h.callId.empty()) st.seenEventIds.insert(h.callId);
    });
    pruneHandled(b);
    if (b.inbox.size() > kInboxCap)
        b.inbox.erase(b.inbox.begin(), b.inbox.begin() + ptrdiff_t(b.inbox.size() - kInboxCap));

    store_detail::applySettings(doc, st.settings, r);
    return !r.fault;
}

void record_missed_call(PhoneState& st, const std::string& caller, const std::string& call_id) {
    if (caller.empty()) return;
    std::vector<CallRecord>& calls = st.boxes.calls;
    if (!call_id.empty()) {
        for (const CallRecord& c : calls)
            if (c.missed && c.id == call_id) return;
    }
    CallRecord rec;
    rec.from = caller;
    rec.to = st.ownHandle;
    rec.ts = nowSeconds();
    rec.missed = true;
    rec.id = call_id;
    rec.txid = st.firstTxid;
    // What the call cost so far (a diverted call's box event) is on its record.
    if (!call_id.empty() && call_id == st.callId) {
        rec.receipt = st.receipt;
        rec.sats = st.callSats;
    }
    calls.push_back(std::move(rec));
    capCalls(calls);
    save_phone_store(st);
}

void append_call(PhoneState& st, const CallRecord& record) {
    st.boxes.calls.push_back(record);
    capCalls(st.boxes.calls);
    save_phone_store(st);
}

}  // namespace dialo
