#pragma once
// The store's writer thread. Saves taken under the phone-state mutex are copied out of memory
// there and written here, outside it, the newest first; message audio is written once, to a
// file of its own beside the handle's file.

#include <functional>
#include <string>

namespace dialo {

/// Starts the writer; from then on save_phone_store only hands its copy over. False when the
/// thread could not be started: saves are then written at once, as without a writer.
[[nodiscard]] bool start_store_saver();

/// Writes what was handed over and ends the writer; later saves are written at once again.
void stop_store_saver();

/// Waits until every save handed over so far has been written or has failed; true when all
/// is on disk. The caller must not hold the phone-state mutex. True at once without a writer.
bool flush_phone_store();

/// For tests: called with each store file's path just before it is written, on the writing
/// thread. An empty function removes it.
void setStoreWriteHook(std::function<void(const std::string& path)> hook);

}  // namespace dialo
