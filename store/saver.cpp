#include "store/saver.h"

#include <openssl/evp.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
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
    uint64_t seq = 0;      // the snapshot that queued it
    bool written = false;  // put on disk ahead of the document; kept until a document names it
};
struct HandleAudio {
    std::set<std::string> onDisk;                  // written or read back
    std::map<std::string, PendingAudio> pending;   // copied from memory, not yet named on disk
    // Names this process may delete once its document drops them: read at the last load or
    // written by it. A name that failed to read is never here.
    std::set<std::string> named;
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
    // The newest snapshot handed over per handle key ("" for settings alone): a switch leaves
    // the old handle's copy in place while the new handle's are handed over.
    std::map<std::string, store_detail::StoreSnapshot> jobs;
    uint64_t handed = 0;  // newest seq handed over
    uint64_t tried = 0;   // newest seq written or failed
    bool lastOk = true;
};
Saver gSaver;

bool isAudioName(const std::string& name) {
    return name.size() == 68 && name.compare(64, 4, ".gsm") == 0 && is_hex64(std::string_view(name).substr(0, 64));
}

std::string sha256Name(const std::string& prefix, const unsigned char* data, size_t size) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdSize = 0;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1 ||
        EVP_DigestUpdate(ctx.get(), prefix.data(), prefix.size()) != 1 ||
        (size > 0 && EVP_DigestUpdate(ctx.get(), data, size) != 1) || EVP_DigestFinal_ex(ctx.get(), md, &mdSize) != 1)
        mdSize = 0;
    return hex_encode(md, mdSize) + ".gsm";
}

// Writes the queued audio a snapshot names, before the store lock is taken: files are
// write-once and named by their message, so no other writer's file is touched, and a phone
// switching handles does not wait behind a long run of fsyncs.
void writeNewAudio(const store_detail::StoreSnapshot& snap) {
    if (snap.key.empty()) return;
    const std::string folder = store_detail::audioFolder(snap.key);
    std::vector<std::pair<std::string, std::shared_ptr<const Bytes>>> fresh;
    {
        std::lock_guard<std::mutex> lock(gAudioMutex);
        for (const auto& [name, p] : gAudio[snap.key].pending)
            if (!p.written && snap.audioRefs.count(name)) fresh.emplace_back(name, p.bytes);
    }
    for (const auto& [name, bytes] : fresh) {
        if (!ensureDirectory(folder) ||
            !store_detail::storeWrite(folder + "/" + name, std::string(bytes->begin(), bytes->end())))
            return;  // the document's write tries again under the lock
        std::lock_guard<std::mutex> lock(gAudioMutex);
        auto it = gAudio[snap.key].pending.find(name);
        if (it != gAudio[snap.key].pending.end()) it->second.written = true;
    }
}

store_detail::WriteOutcome writeHandle(const store_detail::StoreSnapshot& snap) {
    using store_detail::WriteOutcome;
    const std::string folder = store_detail::audioFolder(snap.key);
    std::map<std::string, std::shared_ptr<const Bytes>> queued;
    {
        std::lock_guard<std::mutex> lock(gAudioMutex);
        for (const auto& [name, p] : gAudio[snap.key].pending)
            if (snap.audioRefs.count(name)) queued.emplace(name, p.bytes);
    }
    // Audio before the document that names it: a reader never meets a name without its file.
    // Every missing name is gathered, so one more copy from memory restores them all.
    std::vector<std::string> missing;
    for (const std::string& name : snap.audioRefs) {
        const std::string path = folder + "/" + name;
        if (pathExists(path)) continue;
        auto q = queued.find(name);
        if (q == queued.end()) {
            missing.push_back(name);  // gone since it was written (another phone deleted it)
            continue;
        }
        if (!ensureDirectory(folder) || !store_detail::storeWrite(path, std::string(q->second->begin(), q->second->end())))
            return WriteOutcome::Failed;
    }
    if (!missing.empty()) {
        std::lock_guard<std::mutex> lock(gAudioMutex);
        for (const std::string& name : missing) gAudio[snap.key].onDisk.erase(name);
        return WriteOutcome::AudioMissing;
    }

    const std::string path = handle_store_path(snap.key);
    const std::string text = json_file_text(snap.handleDoc);
    std::string before;
    const bool same = readIfPresent(path, before) && before == text;
    if (!same && !store_detail::storeWrite(path, text)) return WriteOutcome::Failed;

    // Only now that no document of ours names them may they go, and only those this process
    // read or wrote: a message left out because its file did not read keeps its file.
    std::vector<std::string> gone;
    {
        std::lock_guard<std::mutex> lock(gAudioMutex);
        HandleAudio& a = gAudio[snap.key];
        for (const auto& [name, bytes] : queued) {
            a.pending.erase(name);
            a.onDisk.insert(name);
        }
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

store_detail::WriteOutcome writeJob(const store_detail::StoreSnapshot& snap) {
    writeNewAudio(snap);
    StoreLockGuard lock;
    return store_detail::writeSnapshot(snap, lock.fileLocked());
}

// One pass over the handed-over snapshots, newest first; true when all were written. Those
// that failed are kept for the next pass unless a newer one of the same handle came meanwhile.
bool writeJobs(std::unique_lock<std::mutex>& lk) {
    std::vector<store_detail::StoreSnapshot> batch;
    for (auto& [key, snap] : gSaver.jobs) batch.push_back(std::move(snap));
    gSaver.jobs.clear();
    std::sort(batch.begin(), batch.end(), [](const auto& a, const auto& b) { return a.seq > b.seq; });
    const uint64_t top = batch.empty() ? 0 : batch.front().seq;
    lk.unlock();
    std::vector<store_detail::StoreSnapshot> failed;
    for (store_detail::StoreSnapshot& snap : batch) {
        store_detail::WriteOutcome outcome = writeJob(snap);
        if (outcome == store_detail::WriteOutcome::AudioMissing) {
            // Memory still holds that handle: a fresh copy queues the missing audio again.
            store_detail::StoreSnapshot again;
            {
                auto g = lockPhone();
                again = store_detail::takeSnapshot(g.state);
            }
            if (again.key == snap.key) {
                snap = std::move(again);
                outcome = writeJob(snap);
            }
        }
        if (outcome != store_detail::WriteOutcome::Written) failed.push_back(std::move(snap));
    }
    lk.lock();
    for (store_detail::StoreSnapshot& snap : failed) {
        auto it = gSaver.jobs.find(snap.key);
        if (it == gSaver.jobs.end()) gSaver.jobs.emplace(snap.key, std::move(snap));
    }
    gSaver.tried = std::max(gSaver.tried, top);
    gSaver.lastOk = failed.empty();
    gSaver.cv.notify_all();
    return failed.empty();
}

void saverLoop() {
    std::unique_lock<std::mutex> lk(gSaver.mutex);
    auto newer = [] {
        return std::any_of(gSaver.jobs.begin(), gSaver.jobs.end(), [](const auto& j) { return j.second.seq > gSaver.tried; });
    };
    for (;;) {
        gSaver.cv.wait(lk, [&] { return gSaver.stopping || newer(); });
        if (!newer()) break;
        // A failed copy stays and is tried with the next save.
        (void)writeJobs(lk);
    }
    // Stopping: what failed before is tried one last time.
    if (!gSaver.jobs.empty()) (void)writeJobs(lk);
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

std::string audioFileName(const std::string& id, const Bytes& audio) {
    if (!id.empty()) return sha256Name({}, reinterpret_cast<const unsigned char*>(id.data()), id.size());
    // Messages without an id (older saved lists) are told apart by their sound.
    static const std::string kNoIdPrefix("dialo audio without id\n");
    return sha256Name(kNoIdPrefix, audio.data(), audio.size());
}

void queueNewAudio(const std::string& key, uint64_t seq, const std::vector<std::pair<std::string, const Bytes*>>& audio,
                   bool all) {
    std::lock_guard<std::mutex> lock(gAudioMutex);
    HandleAudio& a = gAudio[key];
    for (const auto& [name, bytes] : audio) {
        if ((!all && a.onDisk.count(name)) || a.pending.count(name)) continue;
        a.pending.emplace(name, PendingAudio{std::make_shared<const Bytes>(*bytes), seq, false});
    }
}

void beginAudioLoad(const std::string& key) {
    std::lock_guard<std::mutex> lock(gAudioMutex);
    gAudio[key].named.clear();
}

AudioRead readAudioFile(const std::string& key, const std::string& name, Bytes& out) {
    if (!isAudioName(name)) return AudioRead::Missing;
    const std::string path = audioFolder(key) + "/" + name;
    std::string text;
    if (!readWholeFile(path, text)) {
        struct stat st{};
        // Only a file that is not there is gone; any other error may pass (EMFILE, EIO, EACCES).
        return ::lstat(path.c_str(), &st) != 0 && errno == ENOENT ? AudioRead::Missing : AudioRead::Failed;
    }
    if (text.empty()) return AudioRead::Missing;
    out.assign(text.begin(), text.end());
    return AudioRead::Read;
}

void noteAudioLoaded(const std::string& key, const std::string& name) {
    std::lock_guard<std::mutex> lock(gAudioMutex);
    HandleAudio& a = gAudio[key];
    a.onDisk.insert(name);
    a.named.insert(name);
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
    auto it = gSaver.jobs.find(snap.key);
    if (it == gSaver.jobs.end()) it = gSaver.jobs.emplace(snap.key, std::move(snap)).first;
    else if (it->second.seq < snap.seq) it->second = std::move(snap);
    gSaver.handed = std::max(gSaver.handed, it->second.seq);
    gSaver.cv.notify_all();
    return true;
}

void keepForSaver(StoreSnapshot& snap) {
    std::lock_guard<std::mutex> lock(gSaver.mutex);
    auto it = gSaver.jobs.find(snap.key);
    if (it != gSaver.jobs.end() && it->second.seq >= snap.seq) return;
    const uint64_t seq = snap.seq;
    gSaver.jobs.insert_or_assign(snap.key, std::move(snap));
    if (gSaver.running && !gSaver.stopping) {
        gSaver.handed = std::max(gSaver.handed, seq);
        gSaver.cv.notify_all();
    }
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
