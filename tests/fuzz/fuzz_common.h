#pragma once
// Shared by the fuzz targets: the input as text, the fixed identity key the seed events are
// sealed to, and a process kept off the user's files and the network.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace dialo::fuzz {

/// The identity private key the seeds are sealed to (make_corpus.cpp seals with its public key).
inline constexpr char kIdentityPriv[] = "7777777777777777777777777777777777777777777777777777777777777777";

inline std::string_view text(const uint8_t* data, size_t size) { return {reinterpret_cast<const char*>(data), size}; }

/// A folder under /dev/shm (else /tmp) for this process only, named by LOCALAPPDATA so the phone's
/// data folder is inside it; made on the first call and removed when the process exits.
const std::string& scratchFolder();

/// Writes the bytes as a whole file; false when it could not.
bool writeBytes(const std::string& path, const uint8_t* data, size_t size);

/// Points every service the readers might ask at a closed loopback port, so a reader that
/// reaches the network fails at once instead of waiting on a real host.
void refuseNetwork();

/// The scratch folder and the refused network: for readers of files or the network.
inline void isolate() {
    scratchFolder();
    refuseNetwork();
}

}  // namespace dialo::fuzz
