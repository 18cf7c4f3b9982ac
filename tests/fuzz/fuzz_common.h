#pragma once
// The process is kept off the user's files and the network.
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
bool writeBytes(const std::string& path, const uint8_t* data, size_t size);
/// So a reader that reaches the network fails at once instead of waiting on a real host.
void refuseNetwork();
/// Made once per process, removed at exit; LOCALAPPDATA puts the phone's data folder inside it.
const std::string& isolate();
inline void readOpened(const std::optional<nlohmann::json>& event) {
    if (!event) return;
    (void)verify_protocol_message(*event);
    ReceivedEvent read;
    if (readEvent(*event, read)) (void)verify_protocol_message(read.fields);
}
}  // namespace dialo::fuzz

using namespace dialo;
