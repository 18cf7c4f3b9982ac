#pragma once
// The password envelope ("OV-LOCK1") Vaultra puts around a wallet file: PBKDF2-SHA256 and
// AES-256-GCM. The phone only recognises it; the vaultra tool also seals and opens it.

#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace dialo {

constexpr int kLockIterations = 210000;

/// True for a well-formed envelope: marker, iteration count in 10,000..5,000,000, 16-byte
/// salt, 12-byte IV, 16-byte tag and a non-empty ciphertext.
bool is_locked_envelope(const nlohmann::json& doc);

/// Seals the plain wallet text under a password.
[[nodiscard]] bool lock_wallet_text(std::string_view plain, std::string_view password, nlohmann::json& envelope);

/// Opens an envelope; false for a wrong password or a damaged envelope.
[[nodiscard]] bool unlock_wallet_text(const nlohmann::json& envelope, std::string_view password, std::string& plain);

}  // namespace dialo
