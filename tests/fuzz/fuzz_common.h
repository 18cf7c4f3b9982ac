#pragma once
// Shared by the fuzz targets: every reader they feed, the input as text, the fixed identity key
// the seed events are sealed to, and a process kept off the user's files and the network.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/update_check.h"
#include "audio/wav.h"
#include "base/base64.h"
#include "base/bytes.h"
#include "call/event.h"
#include "call/poller.h"
#include "platform/data_dir.h"
#include "store/handle_switch.h"
#include "store/phone_store.h"
#include "vaultra/ecies.h"
#include "vaultra/envelope.h"
#include "vaultra/identity.h"
#include "vaultra/resolve.h"
#include "wallet/binding.h"
#include "wallet/coins.h"
#include "wallet/contacts.h"
#include "wallet/encoding.h"
#include "wallet/keys.h"
#include "wallet/transaction.h"
#include "wallet/wallet_file.h"
#include "wallet/wallet_lock.h"
#include "wallet/wallet_state.h"

namespace dialo::fuzz {
/// The identity private key the seed events are sealed to.
inline constexpr char kIdentityPriv[] = "7777777777777777777777777777777777777777777777777777777777777777";
inline std::string text(const uint8_t* data, size_t size) { return {reinterpret_cast<const char*>(data), size}; }
/// Writes the bytes as a whole file; false when it could not.
bool writeBytes(const std::string& path, const uint8_t* data, size_t size);
/// Points every service the readers might ask at a closed loopback port, so a reader that
/// reaches the network fails at once instead of waiting on a real host.
void refuseNetwork();
/// A folder under /dev/shm (else /tmp) for this process only, named by LOCALAPPDATA so the
/// phone's data folder is inside it, removed when the process exits; and the refused network.
/// Made once, however often it is called.
const std::string& isolate();
/// The event (a payload opened with the identity key) through the signature check and the
/// reading of its keys, as the dispatcher takes it.
inline void readOpened(const std::optional<nlohmann::json>& event) {
    if (!event) return;
    (void)verify_protocol_message(*event);
    ReceivedEvent read;
    if (readEvent(*event, read)) (void)verify_protocol_message(read.fields);
}
}  // namespace dialo::fuzz

using namespace dialo;
