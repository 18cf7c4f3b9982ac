#include "wallet/keys.h"

#include <algorithm>
#include <cstring>

#include "wallet/encoding.h"
#include "wallet/mnemonic.h"
#include "wallet/openssl_handles.h"
#include "wallet/secp256k1.h"

namespace dialo {
namespace {

void wipeKey(ExtendedKey& k) {
    OPENSSL_cleanse(k.key.data(), k.key.size());
    OPENSSL_cleanse(k.chain.data(), k.chain.size());
}

void forgetMaster(WalletKeys& keys) {
    OPENSSL_cleanse(keys.master.key.data(), keys.master.key.size());
    OPENSSL_cleanse(keys.master.chain.data(), keys.master.chain.size());
    keys.masterReady = false;
    OPENSSL_cleanse(keys.seed.data(), keys.seed.size());
    keys.seedReady = false;
}

bool ensureMaster(WalletKeys& keys) {
    if (keys.masterReady) return true;
    if (!keys.seedReady) {
        if (!mnemonic_to_seed(keys.mnemonic, keys.seed)) return false;
        keys.seedReady = true;
    }
    if (!master_key_from_seed(keys.seed, keys.master)) {
        forgetMaster(keys);
        return false;
    }
    keys.masterReady = true;
    return true;
}

bool hashOfAddress(const std::string& address, Hash160& h) { return decode_p2pkh_address(address, h); }

// Address of a compressed public key; empty when it cannot be hashed.
std::string addressOf(const PubKey33& pub) {
    Hash160 h{};
    return hash160(pub.data(), pub.size(), h) ? address_from_hash(h) : std::string();
}

// One private child step; `parentPub` is the parent's public key when the caller has it.
bool childStep(const ExtendedKey& parent, const PubKey33* parentPub, uint32_t index, ExtendedKey& child) {
    std::array<uint8_t, 37> data{};
    ScopedWipe wipeData(data);
    if (index >= kHardened) {
        data[0] = 0x00;
        std::copy(parent.key.begin(), parent.key.end(), data.begin() + 1);
    } else if (parentPub != nullptr) {
        std::copy(parentPub->begin(), parentPub->end(), data.begin());
    } else {
        PubKey33 pub{};
        if (!public_key_of(parent.key.data(), pub)) return false;
        std::copy(pub.begin(), pub.end(), data.begin());
    }
    for (int b = 0; b < 4; ++b) data[33 + size_t(b)] = uint8_t(index >> (24 - 8 * b));

    Hash512 i{};
    ScopedWipe wipeI(i);
    if (!hmac_sha512(parent.chain.data(), parent.chain.size(), data.data(), data.size(), i)) return false;

    // Fails on IL >= n or a zero sum, as BIP-32 requires.
    Scalar32 sum = parent.key;
    ScopedWipe wipeSum(sum);
    if (!scalar_add_tweak(sum.data(), i.data())) return false;
    child.key = sum;
    std::copy(i.begin() + 32, i.end(), child.chain.begin());
    return true;
}

// Applies the steps of a path to the master key; the caller wipes `out`.
bool walk(WalletKeys& keys, const uint32_t* steps, size_t count, ExtendedKey& out) {
    if (keys.mnemonic.empty() || !ensureMaster(keys)) return false;
    ExtendedKey next;
    out = keys.master;
    bool ok = true;
    for (size_t s = 0; s < count && ok; ++s) {
        ok = childStep(out, nullptr, steps[s], next);
        if (ok) out = next;
    }
    wipeKey(next);
    if (!ok) wipeKey(out);
    return ok;
}

// Adds m/44'/236'/a'/0/first .. last to the owner map: the account node is derived once and
// each address costs one child step.
void indexAccount(WalletKeys& keys, uint32_t account, uint64_t first, uint64_t last) {
    const DerivationPath path = wallet_path(account, 0);
    ExtendedKey node, child;
    PubKey33 nodePub{}, pub{};
    Hash160 h{};
    if (walk(keys, path.data(), 4, node) && public_key_of(node.key.data(), nodePub)) {
        for (uint64_t i = first; i <= last; ++i) {
            if (!childStep(node, &nodePub, uint32_t(i), child) || !public_key_of(child.key.data(), pub) ||
                !hash160(pub.data(), pub.size(), h))
                continue;
            keys.owners.emplace(h, KeyPlace{account, uint32_t(i)});
            if (account == kPaymentAccount) keys.receive.push_back(address_from_hash(h));
        }
    }
    wipeKey(node);
    wipeKey(child);
}

// Brings the owner map up to the current counts; false when the keys cannot be derived.
bool ensureOwners(WalletKeys& keys) REQUIRES(walletMutex()) {
    if (!keys.hd) return false;
    for (size_t a = 0; a < kAccountCount && keys.ownersReady; ++a)
        if (uint64_t(keys.counts[a]) + 1 < keys.indexed[a]) keys.ownersReady = false;  // counts went down
    if (!keys.ownersReady) {
        keys.owners.clear();
        keys.receive.clear();
        keys.indexed.fill(0);
        if (keys.mnemonic.empty() || !ensureMaster(keys)) return false;
        keys.ownersReady = true;
        KeyTriple id;
        Hash160 h{};
        if (derive_key(keys, wallet_path(kIdentityAccount, 0), id) && hashOfAddress(id.address, h))
            keys.owners.emplace(h, KeyPlace{kIdentityAccount, 0});
        wipe_text(id.priv);
    }
    for (uint32_t a = 0; a < kAccountCount; ++a) {
        const uint64_t want = uint64_t(keys.counts[a]) + 1;
        if (keys.indexed[a] < want) indexAccount(keys, a, keys.indexed[a], want - 1);
        keys.indexed[a] = want;
    }
    return true;
}

}  // namespace

DerivationPath wallet_path(uint32_t account, uint32_t index) {
    return {kHardened + 44, kHardened + 236, kHardened + account, 0, index};
}

bool pubkey_from_priv(std::string_view privHex, std::string& pubHex) {
    pubHex.clear();
    Bytes priv = hex_decode(privHex);
    ScopedWipe wipe(priv);
    PubKey33 pub{};
    if (priv.size() != 32 || !public_key_of(priv.data(), pub)) return false;
    pubHex = hex_encode(pub);
    return true;
}

std::string address_from_pubkey(std::string_view pubHex) {
    Bytes pub = hex_decode(pubHex);
    if (pub.size() != 33) return {};
    Hash160 h{};
    return hash160(pub.data(), pub.size(), h) ? address_from_hash(h) : std::string();
}

bool master_key_from_seed(const Hash512& seed, ExtendedKey& out) {
    static constexpr char kKey[] = "Bitcoin seed";
    Hash512 i{};
    ScopedWipe wipe(i);
    if (!hmac_sha512(reinterpret_cast<const uint8_t*>(kKey), 12, seed.data(), seed.size(), i)) return false;
    std::copy(i.begin(), i.begin() + 32, out.key.begin());
    std::copy(i.begin() + 32, i.end(), out.chain.begin());
    if (!is_valid_scalar(out.key.data())) {
        wipeKey(out);
        return false;
    }
    return true;
}

bool derive_child(const ExtendedKey& parent, uint32_t index, ExtendedKey& child) {
    return childStep(parent, nullptr, index, child);
}

bool derive_key(WalletKeys& keys, const DerivationPath& path, KeyTriple& out) {
    out = KeyTriple{};
    ExtendedKey current;
    PubKey33 pub{};
    bool ok = walk(keys, path.data(), path.size(), current) && public_key_of(current.key.data(), pub);
    std::string address = ok ? addressOf(pub) : std::string();
    if (ok && !address.empty()) {
        out.priv = hex_encode(current.key);
        out.pub = hex_encode(pub);
        out.address = std::move(address);
    }
    wipeKey(current);
    return !out.address.empty();
}

bool refresh_wallet_keys(WalletKeys& keys) {
    if (!keys.hd) return !keys.defaultKey.address.empty();
    keys.receiveIndex = std::min(keys.receiveIndex, keys.counts[kPaymentAccount]);

    // The private half is derived again when a coin of the default address is signed.
    bool ok = derive_key(keys, wallet_path(kPaymentAccount, keys.receiveIndex), keys.defaultKey);
    wipe_text(keys.defaultKey.priv);

    KeyTriple k;
    if (derive_key(keys, wallet_path(kIdentityAccount, 0), k)) {
        keys.identityPub = k.pub;
        keys.identityAddress = k.address;
    } else {
        keys.identityPub.clear();
        keys.identityAddress.clear();
        ok = false;
    }
    wipe_text(k.priv);

    if (derive_key(keys, wallet_path(kOrdinalsAccount, keys.counts[kOrdinalsAccount]), k)) {
        keys.ordinalsPub = k.pub;
        keys.ordinalsAddress = k.address;
    }
    wipe_text(k.priv);
    return ok;
}

bool find_own_address(WalletKeys& keys, std::string_view address, Hash160& hash) {
    Hash160 wanted{};
    if (!decode_p2pkh_address(address, wanted)) return false;
    if (!keys.hd) {
        if (keys.defaultKey.address.empty() || keys.defaultKey.address != address) return false;
    } else if (!ensureOwners(keys) || keys.owners.count(wanted) == 0) {
        return false;
    }
    hash = wanted;
    return true;
}

bool signing_key_for(WalletKeys& keys, const Hash160& owner, KeyTriple& out) {
    out = KeyTriple{};
    if (!keys.hd) {
        Hash160 own{};
        if (!hashOfAddress(keys.defaultKey.address, own) || own != owner || keys.defaultKey.priv.size() != 64)
            return false;
        out.priv = keys.defaultKey.priv;
        out.address = keys.defaultKey.address;
        if (!pubkey_from_priv(out.priv, out.pub)) {
            wipe_text(out.priv);
            out = KeyTriple{};
            return false;
        }
        return true;
    }
    if (!ensureOwners(keys)) return false;
    auto it = keys.owners.find(owner);
    if (it == keys.owners.end()) return false;
    if (!derive_key(keys, wallet_path(it->second.account, it->second.index), out)) return false;
    Hash160 got{};
    if (hashOfAddress(out.address, got) && got == owner) return true;
    wipe_text(out.priv);
    out = KeyTriple{};
    return false;
}

bool is_own_hash(WalletKeys& keys, const Hash160& h, const Hash160* extra, const std::vector<Coin>& coins) {
    if (extra != nullptr && *extra == h) return true;
    for (const Coin& c : coins)
        if (c.owner == h) return true;
    Hash160 other{};
    if (hashOfAddress(keys.defaultKey.address, other) && other == h) return true;
    if (hashOfAddress(keys.identityAddress, other) && other == h) return true;
    if (!keys.hd || !ensureOwners(keys)) return false;
    auto it = keys.owners.find(h);
    return it != keys.owners.end() && it->second.account == kPaymentAccount;
}

std::vector<std::string> receive_addresses(WalletKeys& keys) {
    if (!keys.hd) {
        if (keys.defaultKey.address.empty()) return {};
        return {keys.defaultKey.address};
    }
    if (!ensureOwners(keys)) return {};
    return keys.receive;
}

}  // namespace dialo
