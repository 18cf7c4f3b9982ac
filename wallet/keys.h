#pragma once
// The wallet's key tree: public keys and addresses of private keys, BIP-32 private derivation
// along m/44'/236'/account'/0/index, and the look-ups of the wallet's own keys and addresses.
// Every function taking `WalletKeys&` runs under the wallet state lock held by the caller.

#include <string>
#include <string_view>
#include <vector>

#include "wallet/coin.h"
#include "wallet/wallet_state.h"

namespace dialo {

constexpr uint32_t kHardened = 0x80000000u;
constexpr uint32_t kPaymentAccount = 1;
constexpr uint32_t kOrdinalsAccount = 5;
constexpr uint32_t kIdentityAccount = 100;
constexpr uint32_t kBnAccount = 102;

/// m/44'/236'/account'/0/index.
DerivationPath wallet_path(uint32_t account, uint32_t index);

/// 66-hex compressed public key of a 64-hex private key; false when it is not a key (zero,
/// not below the order, not 32 bytes).
[[nodiscard]] bool pubkey_from_priv(std::string_view privHex, std::string& pubHex);

/// Address of a 66-hex compressed public key; empty for anything else.
std::string address_from_pubkey(std::string_view pubHex);

/// Master key of a seed: HMAC-SHA512 keyed "Bitcoin seed". False when the key is unusable.
[[nodiscard]] bool master_key_from_seed(const Hash512& seed, ExtendedKey& out);

/// One private child step; false when the child key is unusable (IL >= n or zero).
[[nodiscard]] bool derive_child(const ExtendedKey& parent, uint32_t index, ExtendedKey& child);

/// The key at a five-level path of the loaded mnemonic; fills the seed and master caches.
[[nodiscard]] bool derive_key(WalletKeys& keys, const DerivationPath& path, KeyTriple& out) REQUIRES(walletMutex());

/// Recomputes the default, identity and ordinals keys after a load; true when the default
/// and identity keys are present.
bool refresh_wallet_keys(WalletKeys& keys) REQUIRES(walletMutex());

/// The Hash160 of an address when the wallet holds its key (accounts 0' to 5' up to their
/// counts, the identity key, or the imported key). Gives no key material.
[[nodiscard]] bool find_own_address(WalletKeys& keys, std::string_view address, Hash160& hash) REQUIRES(walletMutex());

/// The key of an own address's Hash160, derived now for one signature; the caller wipes
/// `out.priv` as soon as it has signed. False when the wallet holds no such key.
[[nodiscard]] bool signing_key_for(WalletKeys& keys, const Hash160& owner, KeyTriple& out) REQUIRES(walletMutex());

/// Whether a Hash160 is the wallet's own: the extra hash, a known coin's owner, the default
/// address, a payment address up to the account count, or the identity address.
bool is_own_hash(WalletKeys& keys, const Hash160& h, const Hash160* extra, const std::vector<Coin>& coins)
    REQUIRES(walletMutex());

/// The addresses scanned for coins, in index order.
std::vector<std::string> receive_addresses(WalletKeys& keys) REQUIRES(walletMutex());

}  // namespace dialo
