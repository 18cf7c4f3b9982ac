#include "store/saver.h"

#include <openssl/evp.h>

#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "base/bytes.h"
#include "base/json_fields.h"
#include "platform/files.h"
#include "store/phone_store.h"
#include "store/store_internal.h"

namespace dialo {

using nlohmann::json;

namespace {

std::mutex gHookMutex;
std::function<void(const std::string&)> gWriteHook;

// What this process knows of one handle's audio files. A leaf lock: taken under the
// phone-state mutex (queueing) and under the store lock (writing), never the other way.
struct PendingAudio {
    std::shared_ptr<const Bytes> bytes;
    uint64_t seq = 0;  // the snapshot that queued it
};
struct HandleAudio {
    std::set<std::string> onDisk;                  // written or read back
    std::map<std::string, PendingAudio> pending;   // copied from memory, not yet written
    std::set<std::string> named;                   // named by the document last written or read
};
std::mutex gAudioMutex;
std::map<std::string, HandleAudio> gAudio;

// The newest snapshot each file holds from this process. Guarded by the store lock.
uint64_t gSharedSeq = 0;
std::map<std::string, uint64_t> gHandleSeq;

struct Saver {
    std::mutex mutex;
    std::condition_variable cv;
    std::thread thread;
    bool running = false;
    bool stopping = false;
    std::optional<store_detail::StoreSnapshot> job;  // the newest one handed over
    uint64_t handed = 0;  // newest seq handed over
    uint64_t tried = 0;   // newest seq written or failed
    bool lastOk = true;
};
Saver gSaver;

bool isAudioName(const std::string& name) {
    return name.size() == 68 && name.compare(64, 4, ".gsm") == 0 && is_hex64(std::string_view(name).substr(0, 64));
}

store_detail::WriteOutcome writeHandle(const store_detail::StoreSnapshot& snap) {
    using store_detail::WriteOutcome;
    const std::string folder = store_detail::audioFolder(snap.key);
    std::vector<std::pair<std::string, std::shared_ptr<const Bytes>>> fresh;
    {
        std::lock_guard<std::mutex> lock(gAudioMutex);
        for (const auto& [name, p] : gAudio[snap.key].pending)
            if (snap.audioRefs.count(name)) fresh.emplace_back(name, p.bytes);
    }
    // Audio before the document that names it: a reader never meets a name without its file.
    std::set<std::string> written;
    for (const auto& [name, bytes] : fresh) {
        if (!ensureDirectory(folder) ||
            !store_detail::storeWrite(folder + "/" + name, std::string(bytes->begin(), bytes->end())))
            return WriteOutcome::Failed;
        written.insert(name);
        std::lock_guard<std::mutex> lock(gAudioMutex);
        HandleAudio& a = gAudio[snap.key];
        a.onDisk.insert(name);
        a.pending.erase(name);
    }
    for (const std::string& name : snap.audioRefs) {
        if (written.count(name) || pathExists(folder + "/" + name)) continue;
        // Gone since it was written (another phone of this handle deleted its message).
        std::lock_guard<std::mutex> lock(gAudioMutex);
        gAudio[snap.key].onDisk.erase(name);
        return WriteOutcome::AudioMissing;
    }

    const std::string path = handle_store_path(snap.key);
    const std::string text = json_file_text(snap.handleDoc);
    std::string before;
    const bool same = readIfPresent(path, before) && before == text;
    if (!same && !store_detail::storeWrite(path, text)) return WriteOutcome::Failed;

    // Only now that no document of ours names them may they go.
    std::vector<std::string> gone;
    {
        std::lock_guard<std::mutex> lock(gAudioMutex);
        HandleAudio& a = gAudio[snap.key];
        for (const std::string& name : a.named)
            if (!snap.audioRefs.count(name) && !a.pending.count(name)) gone.push_back(name);
        for (const std::string& name : gone) a.onDisk.erase(name);
        a.named = snap.audioRefs;
        // Queued for a message deleted before it was written.
        std::erase_if(a.pending, [&snap](const auto& e) { return e.second.seq <= snap.seq && !snap.audioRefs.count(e.first); });
    }
    for (const std::string& name : gone) ::unlink((folder + "/" + name).c_str());
    return WriteOutcome::Written;
}

void saverLoop() {
    std::unique_lock<std::mutex> lk(gSaver.mutex);
    auto newer = [] { return gSaver.job && gSaver.job->seq > gSaver.tried; };
    for (;;) {
        gSaver.cv.wait(lk, [&] { return gSaver.stopping || newer(); });
        if (!newer()) break;
        store_detail::StoreSnapshot snap = std::move(*gSaver.job);
        gSaver.job.reset();
        lk.unlock();
        store_detail::WriteOutcome outcome;
        {
            StoreLockGuard lock;
            outcome = store_detail::writeSnapshot(snap, lock.fileLocked());
        }
        if (outcome == store_detail::WriteOutcome::AudioMissing) {
            // The next copy takes that audio from memory again.
            store_detail::StoreSnapshot again;
            {
                auto g = lockPhone();
                again = store_detail::takeSnapshot(g.state);
            }
            lk.lock();
            if (!gSaver.job) gSaver.job = std::move(again);
            gSaver.handed = std::max(gSaver.handed, gSaver.job->seq);
            continue;
        }
        lk.lock();
        const bool ok = outcome == store_detail::WriteOutcome::Written;
        const uint64_t seq = snap.seq;
        // A failed copy stays until a newer one replaces it, and is tried with the next save.
        if (!ok && !gSaver.job) gSaver.job = std::move(snap);
        gSaver.tried = std::max(gSaver.tried, seq);
        gSaver.lastOk = ok;
        gSaver.cv.notify_all();
    }
}

}  // namespace

namespace store_detail {

bool storeWrite(const std::string& path, const std::string& text) {
    std::function<void(const std::string&)> hook;
    {
        std::lock_guard<std::mutex> lock(gHookMutex);
        hook = gWriteHook;
    }
    if (hook) hook(path);
    return writeFileAtomic(path, text);
}

std::string audioFolder(const std::string& key) { return store_directory() + "/audio-" + key; }

std::string audioFileName(const std::string& id) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(id.data(), id.size(), md, &size, EVP_sha256(), nullptr) != 1) size = 0;
    return hex_encode(md, size) + ".gsm";
}

void queueNewAudio(const std::string& key, uint64_t seq, const std::vector<std::pair<std::string, const Bytes*>>& audio) {
    std::lock_guard<std::mutex> lock(gAudioMutex);
    HandleAudio& a = gAudio[key];
    for (const auto& [name, bytes] : audio) {
        if (a.onDisk.count(name) || a.pending.count(name)) continue;
        a.pending.emplace(name, PendingAudio{std::make_shared<const Bytes>(*bytes), seq});
    }
}

bool readAudioFile(const std::string& key, const std::string& name, Bytes& out) {
    std::string text;
    if (!isAudioName(name) || !readWholeFile(audioFolder(key) + "/" + name, text) || text.empty()) return false;
    out.assign(text.begin(), text.end());
    std::lock_guard<std::mutex> lock(gAudioMutex);
    HandleAudio& a = gAudio[key];
    a.onDisk.insert(name);
    a.named.insert(name);
    return true;
}

void removeStrayAudio(const std::string& key, const std::set<std::string>& named) {
    const std::string folder = audioFolder(key);
    if (!pathExists(folder)) return;
    (void)removeDeadTempFiles(folder);
    std::vector<std::string> stray;
    std::error_code ec;
    {
        std::lock_guard<std::mutex> lock(gAudioMutex);
        HandleAudio& a = gAudio[key];
        a.named.insert(named.begin(), named.end());
        for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
            const std::string name = entry.path().filename().string();
            if (isAudioName(name) && !named.count(name) && !a.pending.count(name)) stray.push_back(name);
        }
        for (const std::string& name : stray) a.onDisk.erase(name);
    }
    for (const std::string& name : stray) ::unlink((folder + "/" + name).c_str());
}

WriteOutcome writeSnapshot(const StoreSnapshot& snap, bool shared) {
    bool ok = true;
    if (snap.seq > gSharedSeq) {
        // Without the inter-process lock another phone may be mid read-modify-write of the
        // shared file; writing it now could drop that phone's keys.
        if (shared && writeSharedSettings(snap.settings)) gSharedSeq = snap.seq;
        else ok = false;
    }
    if (!snap.key.empty() && snap.seq > gHandleSeq[snap.key]) {
        const WriteOutcome outcome = writeHandleSnapshot(snap);
        if (outcome == WriteOutcome::AudioMissing) return outcome;
        ok = ok && outcome == WriteOutcome::Written;
    }
    return ok ? WriteOutcome::Written : WriteOutcome::Failed;
}

WriteOutcome writeHandleSnapshot(const StoreSnapshot& snap) {
    if (snap.key.empty() || snap.seq <= gHandleSeq[snap.key]) return WriteOutcome::Written;
    const WriteOutcome outcome = writeHandle(snap);
    if (outcome == WriteOutcome::Written) gHandleSeq[snap.key] = snap.seq;
    return outcome;
}

bool handOverToSaver(StoreSnapshot& snap) {
    std::lock_guard<std::mutex> lock(gSaver.mutex);
    if (!gSaver.running || gSaver.stopping) return false;
    if (!gSaver.job || gSaver.job->seq < snap.seq) gSaver.job = std::move(snap);
    gSaver.handed = std::max(gSaver.handed, gSaver.job->seq);
    gSaver.cv.notify_all();
    return true;
}

}  // namespace store_detail

bool start_store_saver() {
    std::lock_guard<std::mutex> lock(gSaver.mutex);
    if (gSaver.running) return true;
    try {
        gSaver.thread = std::thread(saverLoop);
    } catch (const std::system_error&) {
        return false;
    }
    gSaver.running = true;
    gSaver.stopping = false;
    return true;
}

void stop_store_saver() {
    {
        std::lock_guard<std::mutex> lock(gSaver.mutex);
        if (!gSaver.running) return;
        gSaver.stopping = true;
        gSaver.cv.notify_all();
    }
    gSaver.thread.join();
    std::lock_guard<std::mutex> lock(gSaver.mutex);
    gSaver.running = false;
    gSaver.cv.notify_all();
}

bool flush_phone_store() {
    std::unique_lock<std::mutex> lk(gSaver.mutex);
    if (!gSaver.running) return true;
    const uint64_t target = gSaver.handed;
    gSaver.cv.wait(lk, [target] { return gSaver.tried >= target || !gSaver.running; });
    return gSaver.lastOk;
}

void setStoreWriteHook(std::function<void(const std::string& path)> hook) {
    std::lock_guard<std::mutex> lock(gHookMutex);
    gWriteHook = std::move(hook);
}

}  // namespace dialo
