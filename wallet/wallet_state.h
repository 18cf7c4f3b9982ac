#pragma once
// The process-wide wallet record and the wallet state lock that guards it. Functions that take
// a `WalletState&` or `WalletKeys&` expect the caller to hold the lock (through lockWallet).

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "base/thread_annotations.h"
#include "wallet/coin.h"
#include "wallet/hashes.h"

namespace dialo {

/// One key as text: 64-hex private key, 66-hex compressed public key, Base58Check address.
struct KeyTriple {
    std::string priv;
    std::string pub;
    std::string address;
};

/// Private key followed by chain code.
struct ExtendedKey {
    std::array<uint8_t, 32> key{};
    std::array<uint8_t, 32> chain{};
};

/// Five child indices; bit 31 marks a hardened step.
using DerivationPath = std::array<uint32_t, 5>;

/// Accounts 0' to 5' of the wallet file's "recv" array.
constexpr size_t kAccountCount = 6;

/// Where the key of an own address comes from: m/44'/236'/account'/0/index, or (account
/// kImportedKey) the single imported key. A place, never the key itself.
constexpr uint32_t kImportedKey = UINT32_MAX;
struct KeyPlace {
    uint32_t account = 0;
    uint32_t index = 0;
};

struct WalletKeys {
    bool hd = false;                            // a mnemonic, not a single imported key
    std::string mnemonic;                       // exactly as stored in the wallet file
    std::array<uint32_t, kAccountCount> counts{};  // highest index in use per account
    uint32_t receiveIndex = 0;                  // index on account 1' shown and used as change
    KeyTriple defaultKey;                       // m/44'/236'/1'/0/receiveIndex (private half only
                                                // when imported), or the imported key
    std::string identityPub, identityAddress;   // m/44'/236'/100'/0/0 (private half never kept)
    std::string ordinalsPub, ordinalsAddress;   // m/44'/236'/5'/0/counts[5]
    Hash512 seed{};
    bool seedReady = false;
    ExtendedKey master;
    bool masterReady = false;
    // Own addresses by Hash160, built on first look-up after a load and extended when the
    // counts grow, so a look-up never walks the key tree.
    std::map<Hash160, KeyPlace> owners;
    std::array<uint64_t, kAccountCount> indexed{};  // indexes 0 to indexed[a] - 1 are in `owners`
    bool ownersReady = false;
    std::vector<std::string> receive;  // account 1' addresses in `owners`, in index order
};

/// An address-book entry: a normalised destination and a short note.
struct Contact {
    std::string dest;
    std::string note;  // trimmed, at most 80 bytes
};

/// Coins of one address as last gathered by the address scan or a broadcast.
struct AddressCoins {
    std::vector<Coin> coins;
    uint64_t updatedMs = 0;  // monotonic milliseconds
    bool hasCoins = false;
};

/// Why an outpoint counts as spent before any service has shown it so: a transaction a service
/// claimed to take (`sent`), or a reply that the coin was gone. Settled once the chain moves on.
struct Doubt {
    std::string txid;        // the transaction that spends it, or tried to (lower case)
    int64_t atSeconds = 0;   // wall clock at marking
    int64_t height = -1;     // chain height at marking; -1 when it could not be read
    bool sent = false;
    std::string address;     // the coin's address; empty when unknown
};

/// A payload spend made under its caller's key: a retry sends this same transaction again.
struct KeptSpend {
    std::vector<Coin> inputs;  // signed; emptied once the transaction is answered as sent
    std::vector<TxOutput> outputs;
    std::string txid;
    int64_t cost = 0;          // satoshis, fee included
    uint64_t order = 0;        // older entries go first when the table is full
    int64_t height = -1;       // chain height when it was made; -1 when unknown
    int64_t atSeconds = 0;     // wall clock when it was made
};

/// What the wallet knows of its coins besides the remote lists.
struct CoinState {
    std::vector<Coin> pool;          // ascending by sats
    uint64_t poolRefreshedMs = 0;    // monotonic; 0 until the first refresh
    bool poolRefreshed = false;
    std::set<std::string> spent;     // outpoint keys "txid:vout"
    std::map<std::string, Doubt> doubts;  // the outpoints of `spent` not yet proven spent
    int64_t height = -1;             // last chain height read, -1 when unread or unreadable
    uint64_t heightReadMs = 0;       // monotonic time of that reading
    bool heightRead = false;
    std::map<std::string, KeptSpend> kept;  // by the caller's key
    uint64_t keptOrder = 0;
    std::vector<Coin> change;        // own outputs of own broadcasts
    std::map<std::string, AddressCoins> byAddress;
    int64_t shownBalance = -1;       // satoshis, -1 while unknown
    int64_t deducted = -1;           // last deducted figure, -1 when none
    uint64_t deductedAtMs = 0;
    std::string lastTxid;            // last transaction this wallet broadcast
    std::string lastReceivedTxid;
    uint64_t scanGeneration = 0;
    bool scanned = false;            // an address scan has run since the wallet was loaded
};

/// The wallet file as it was when loaded, to tell what Vaultra changed since from what the
/// phone changed.
struct LoadedFile {
    std::string path;  // the file the wallet was loaded from; saves go there
    std::vector<Contact> contacts;
    std::string paymail;
    bool backup = false;
};

struct WalletState {
    bool loaded = false;  // a default key and address are held
    WalletKeys keys;
    LoadedFile file;
    bool backup = false;  // the user confirmed a backup of the phrase
    std::string paymail;  // the wallet's handle, when it has one
    std::vector<Contact> contacts;
    // Ordinals the wallet holds, as compact JSON text carried through to the file unchanged;
    // empty when the file has none.
    std::string ordAvatar;
    std::string ordOwned;
    CoinState coins;
};

/// The wallet state lock as the compiler's thread-safety analysis names it.
const LockName& walletMutex();

/// Holds the wallet state lock for its lifetime. The lock is not recursive: code that already
/// holds a guard passes its `state` on instead of locking again.

class WalletGuard {
public:
    WalletGuard(std::mutex& m, WalletState& s) : lock_(m), state(s) {}
    ~WalletGuard() RELEASE(walletMutex()) {}

private:
    std::unique_lock<std::mutex> lock_;

public:
    WalletState& state;
};

WalletGuard lockWallet() ACQUIRE(walletMutex());

/// Wipes every secret and clears every value of the keys, caches included.
void wipe_wallet_keys(WalletKeys& keys);

}  // namespace dialo
