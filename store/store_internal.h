#pragma once
// Shared inside store/ only: tolerant readers of stored JSON values.

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "state/phone_state.h"
#include "state/records.h"

namespace dialo::store_detail {

/// Reads values out of stored JSON without ever throwing. A value present with a type its
/// conversion refuses leaves the default and sets `fault`, so callers can tell a clean read
/// from one that had to guess.
struct JsonReader {
    bool fault = false;

    /// Any JSON number (fraction truncated) or a boolean; out-of-range numbers are faults.
    int64_t integer(const nlohmann::json& obj, const char* key, int64_t def, int64_t lo = INT64_MIN,
                    int64_t hi = INT64_MAX);
    bool boolean(const nlohmann::json& obj, const char* key, bool def);
    std::string text(const nlohmann::json& obj, const char* key);
};

bool hasKey(const nlohmann::json& obj, const char* key);

/// A stored file's text parsed; discarded when it is not JSON or nests deeper than any file
/// of ours (its copies and the write-back would use the stack up).
nlohmann::json parseStored(const std::string& text);

/// Settings keys of a shared or per-handle document; only keys present change anything.
void applySettings(const nlohmann::json& doc, PhoneSettings& settings, JsonReader& reader);

/// One save of the store as memory held it, taken under the phone-state mutex and written
/// without it. Message audio is not in it: that is queued apart, once (see queueNewAudio).
struct StoreSnapshot {
    uint64_t seq = 0;                    // later snapshots have larger numbers
    nlohmann::json settings;             // the shared file's keys that memory owns
    std::string key;                     // the loaded handle; empty: none
    nlohmann::json handleDoc;            // that handle's document; null without a handle
    std::set<std::string> audioRefs;     // the audio files handleDoc names
};

/// Copies the store out of memory. Caller holds the phone-state mutex. `allAudio` queues a
/// copy of every message's audio, even what is on disk, so the snapshot can be written after
/// memory has moved to another handle.
StoreSnapshot takeSnapshot(PhoneState& st, bool allAudio = false) REQUIRES(phoneMutex());

enum class WriteOutcome { Written, Failed, AudioMissing };

/// Writes a snapshot's files unless a newer snapshot's are already on disk: the audio it
/// names first, then the document, then removes audio files no document of ours names any
/// more. The shared file only when `shared` (the inter-process lock is held). AudioMissing:
/// named audio files had gone (another phone removed them); all of them are forgotten, so the
/// next snapshot queues them again. Caller holds the store lock, not the phone-state mutex (except
/// at a handle switch).
WriteOutcome writeSnapshot(const StoreSnapshot& snap, bool shared);
/// The same for the handle's file alone.
WriteOutcome writeHandleSnapshot(const StoreSnapshot& snap);

/// Gives the snapshot to the saver thread; false (and nothing taken) when none runs. The
/// saver keeps the newest snapshot of each handle, so one handle's does not replace another's.
bool handOverToSaver(StoreSnapshot& snap);
/// Keeps a snapshot that could not be written for the saver to try again, whether or not it
/// runs yet (it then does when started).
void keepForSaver(StoreSnapshot& snap);

/// <store directory>/audio-<key>, the folder of a handle's message audio.
std::string audioFolder(const std::string& key);
/// A message's audio file name in that folder: hex of SHA-256 of its id, then ".gsm"; for a
/// message without an id, of a fixed prefix and its audio, so two such never share a file.
std::string audioFileName(const std::string& id, const Bytes& audio = {});

/// Queues a copy of each message's audio that is neither on disk nor queued yet. Called
/// under the phone-state mutex, so it copies only what is new.
void queueNewAudio(const std::string& key, uint64_t seq,
                   const std::vector<std::pair<std::string, const Bytes*>>& audio, bool all = false);

/// Starts a load of a handle: no audio file is this process's to delete until it reads it.
void beginAudioLoad(const std::string& key);

enum class AudioRead { Read, Missing, Failed };
/// Reads a message's audio file. Missing: not there (or empty, or not an audio name).
/// Failed: there but it did not read (EACCES, EIO, EMFILE...).
AudioRead readAudioFile(const std::string& key, const std::string& name, Bytes& out);
/// A file read into a loaded message: on disk, and this process's to delete once no document
/// of it names the file.
void noteAudioLoaded(const std::string& key, const std::string& name);

/// apply_handle_document, also telling whether some message's audio file was there but did
/// not read: such a load must not be used, or the next save would drop that message.
bool applyHandleDocument(PhoneState& st, const nlohmann::json& doc, bool& audioUnreadable) REQUIRES(phoneMutex());

/// After a handle's file loads (store lock held): removes audio files its document does not
/// name, left by a phone killed between writing them and the document, or by a delete.
void removeStrayAudio(const std::string& key, const std::set<std::string>& named);

/// Every store file is written through here: writeFileAtomic, after the test hook.
[[nodiscard]] bool storeWrite(const std::string& path, const std::string& text);

/// Shared-file read-modify-write: the keys of `settings` replace the stored ones, every
/// other key is kept; nothing is written when that changes no byte. Store lock held.
bool writeSharedSettings(const nlohmann::json& settings);

/// Writes text through a temporary file and keeps the previous copy aside as <path>.bak
/// (or .bak.N when that exists). False when the copy could not be kept.
bool keepAside(const std::string& path, const std::string& text);

}  // namespace dialo::store_detail
