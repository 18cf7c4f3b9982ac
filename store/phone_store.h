#pragma once
// The phone store: the shared settings file and one file per handle, in
// <platform dir>/dialo, with each handle's message audio in files of their own beside it
// (audio-<key>/). Whole files are replaced through a temporary file; all writers, across
// processes, serialise on byte 0 of phone.lock beside them.
//
// Functions taking a PhoneState& expect the caller to hold the phone-state mutex
// (lockPhone); those that write take the store lock themselves, in that order.

#include <mutex>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "platform/files.h"
#include "state/phone_state.h"

namespace dialo {

/// The key a handle's file is named by: bare alias, ASCII lower case, only [a-z0-9_-] kept.
std::string store_key(const std::string& handle);

/// <platform dir>/dialo, created when missing.
std::string store_directory();
/// The shared settings file, phone.json.
std::string shared_store_path();
/// phone-<key>.json beside the shared file; empty when the key is empty.
std::string handle_store_path(const std::string& key);
/// The inter-process lock file, phone.lock.
std::string store_lock_path();

/// Start-up: reads settings, network and audio configuration from the shared file.
/// Creates an empty shared file on a first run. Takes the phone-state mutex itself.
void load_settings();

/// Saves the settings into the shared file (keeping every other key) and, when a handle is
/// loaded, that handle's file. Only a copy is taken here (with the audio not yet on disk);
/// while the store's writer runs (saver.h) the files are written there, after this returns,
/// and otherwise at once. The shared file is left alone when the store's inter-process lock
/// cannot be taken; a failed write is tried again with the next save.
void save_phone_store(PhoneState& st) REQUIRES(phoneMutex());

/// Records a missed call from `caller` unless `call_id` already has one; then saves.
void record_missed_call(PhoneState& st, const std::string& caller, const std::string& call_id) REQUIRES(phoneMutex());

/// Appends a finished call (dropping the oldest past 80) and saves.
void append_call(PhoneState& st, const CallRecord& record) REQUIRES(phoneMutex());

/// Remembers that this phone acted on a transaction's event, and the call id of an invite that
/// rang (kept 30 minutes, read back into the known txids and seen event ids when the handle's
/// file loads). False when it was known already. Does not save.
bool note_handled_txid(PhoneState& st, const std::string& txid, const std::string& ringingCallId = {})
    REQUIRES(phoneMutex());

/// Adds a handle (its lower-cased bare alias) to the block list, or takes it off; false when
/// there was nothing to change. Does not save.
bool block_handle(PhoneState& st, const std::string& handle) REQUIRES(phoneMutex());
bool unblock_handle(PhoneState& st, const std::string& handle) REQUIRES(phoneMutex());

/// Shared-file read-modify-write of the settings. Caller holds the store lock.
void save_settings(const PhoneState& st);
/// Writes the loaded handle's file (and audio files it names that are not on disk) at once;
/// false when it could not. Caller holds the store lock.
[[nodiscard]] bool save_handle_file(PhoneState& st) REQUIRES(phoneMutex());

/// The per-handle document from memory (trims the inbox to 2000 first); messages name their
/// audio files.
nlohmann::json build_handle_document(PhoneState& st) REQUIRES(phoneMutex());

/// Loads a per-handle document into memory. Values of the wrong type take their defaults
/// and the record is kept; returns false when any value had to be skipped or defaulted, so
/// the caller can keep the original text before it is rewritten.
bool apply_handle_document(PhoneState& st, const nlohmann::json& doc) REQUIRES(phoneMutex());

/// The store lock: the in-process store mutex, then byte 0 of phone.lock; released in
/// reverse. Without the byte lock (file unopenable) only the in-process part is held.
class StoreLockGuard {
public:
    StoreLockGuard();
    bool fileLocked() const { return file_.locked(); }

private:
    std::unique_lock<std::mutex> mutex_;
    FileLock file_;
};

}  // namespace dialo
