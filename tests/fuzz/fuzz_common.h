#pragma once
// Shared by the fuzz targets: the fixed identity key the seed events are sealed to, and a data
// folder of the process's own for readers that only take files.

#include <cstddef>
#include <cstdint>
#include <string>

namespace dialo::fuzz {

/// The identity private key the seeds are sealed to (make_corpus.cpp seals with its public key).
inline constexpr char kIdentityPriv[] = "7777777777777777777777777777777777777777777777777777777777777777";

/// A folder under /dev/shm (else /tmp) for this process only, named by LOCALAPPDATA so the phone's data folder
/// is inside it; made on the first call and removed when the process exits.
const std::string& scratchFolder();

/// Writes the bytes as a whole file; false when it could not.
bool writeBytes(const std::string& path, const uint8_t* data, size_t size);

/// Points every service the readers might ask at a closed loopback port, so a reader that
/// reaches the network fails at once instead of waiting on a real host.
void refuseNetwork();

}  // namespace dialo::fuzz
