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

}  // namespace

DerivationPath wallet_path(uint32_t account, uint32_t index) {
    return {kHardened + 44, kHardened + 236, kHardened + account, 0, index};
}

std::string pubkey_from_priv(std::string_view privHex) {
    Bytes priv = hex_decode(privHex);
    ScopedWipe wipe(priv);
    PubKey33 pub{};
    if (priv.size() != 32 || !public_key_of(priv.data(), pub)) return {};
    return hex_encode(pub);
}

std::string address_from_pubkey(std::string_view pubHex) {
    Bytes pub = hex_decode(pubHex);
    if (pub.size() != 33) return {};
    return address_from_hash(hash160(pub.data(), pub.size()));
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
    std::array<uint8_t, 37> data{};
    ScopedWipe wipeData(data);
    if (index >= kHardened) {
        data[0] = 0x00;
        std::copy(parent.key.begin(), parent.key.end(), data.begin() + 1);
    } else {
        PubKey33 pub{};
        if (!public_key_of(parent.key.data(), pub)) return false;
        std::copy(pub.begin(), pub.end(), data.begin());
    }
    for (int b = 0; b < 4; ++b) data[33 + size_t(b)] = uint8_t(index >> (24 - 8 * b));

    Hash512 i{};
    ScopedWipe wipeI(i);
    if (!hmac_sha512(parent.chain.data(), parent.chain.size(), data.data(), data.size(), i)) return false;

    const Curve& c = secp256k1();
    BnCtxPtr ctx = newBnCtx();
    BnPtr il = newSecretBn(), k = newSecretBn(), sum = newSecretBn();
    if (!ctx || !il || !k || !sum) return false;
    if (!BN_bin2bn(i.data(), 32, il.get()) || !BN_bin2bn(parent.key.data(), 32, k.get())) return false;
    if (BN_cmp(il.get(), c.order) >= 0) return false;
    if (BN_mod_add(sum.get(), il.get(), k.get(), c.order, ctx.get()) != 1 || BN_is_zero(sum.get())) return false;
    if (BN_bn2binpad(sum.get(), child.key.data(), int(child.key.size())) != 32) return false;
    std::copy(i.begin() + 32, i.end(), child.chain.begin());
    return true;
}

bool derive_key(WalletKeys& keys, const DerivationPath& path, KeyTriple& out) {
    out = KeyTriple{};
    if (keys.mnemonic.empty() || !ensureMaster(keys)) return false;
    ExtendedKey current = keys.master, next;
    bool ok = true;
    for (uint32_t index : path) {
        if (!derive_child(current, index, next)) {
            ok = false;
            break;
        }
        current = next;
    }
    wipeKey(next);
    PubKey33 pub{};
    if (ok) ok = public_key_of(current.key.data(), pub);
    if (ok) {
        out.priv = hex_encode(current.key);
        out.pub = hex_encode(pub);
        out.address = address_from_hash(hash160(pub.data(), pub.size()));
    }
    wipeKey(current);
    return ok;
}

bool refresh_wallet_keys(WalletKeys& keys) {
    if (!keys.hd) return !keys.defaultKey.address.empty();
    keys.receiveIndex = std::min(keys.receiveIndex, keys.counts[kPaymentAccount]);

    wipe_text(keys.defaultKey.priv);
    bool ok = derive_key(keys, wallet_path(kPaymentAccount, keys.receiveIndex), keys.defaultKey);

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

bool find_key_for_address(WalletKeys& keys, std::string_view address, std::string& privHex, std::string& pubHex,
                          Hash160& hash) {
    Hash160 wanted{};
    if (!decode_p2pkh_address(address, wanted)) return false;
    auto take = [&](KeyTriple& k) {
        privHex = std::move(k.priv);
        pubHex = std::move(k.pub);
        hash = wanted;
        return true;
    };
    if (!keys.hd) {
        if (keys.defaultKey.address != address) return false;
        KeyTriple copy = keys.defaultKey;
        return take(copy);
    }
    KeyTriple k;
    for (uint32_t a = 0; a < kAccountCount; ++a) {
        for (uint32_t i = 0; i <= keys.counts[a]; ++i) {
            if (derive_key(keys, wallet_path(a, i), k) && k.address == address) return take(k);
            wipe_text(k.priv);
            if (i == UINT32_MAX) break;
        }
    }
    if (derive_key(keys, wallet_path(kIdentityAccount, 0), k) && k.address == address) return take(k);
    wipe_text(k.priv);
    return false;
}

bool is_own_hash(WalletKeys& keys, const Hash160& h, const Hash160* extra, const std::vector<Coin>& coins) {
    if (extra != nullptr && *extra == h) return true;
    for (const Coin& c : coins)
        if (c.owner == h) return true;
    Hash160 other{};
    if (hashOfAddress(keys.defaultKey.address, other) && other == h) return true;
    if (keys.hd) {
        KeyTriple k;
        for (uint32_t i = 0; i <= keys.counts[kPaymentAccount]; ++i) {
            bool match = derive_key(keys, wallet_path(kPaymentAccount, i), k) && hashOfAddress(k.address, other) &&
                         other == h;
            wipe_text(k.priv);
            if (match) return true;
            if (i == UINT32_MAX) break;
        }
    }
    return hashOfAddress(keys.identityAddress, other) && other == h;
}

std::vector<std::string> receive_addresses(WalletKeys& keys) {
    std::vector<std::string> out;
    if (!keys.hd) {
        if (!keys.defaultKey.address.empty()) out.push_back(keys.defaultKey.address);
        return out;
    }
    KeyTriple k;
    for (uint32_t i = 0; i <= keys.counts[kPaymentAccount]; ++i) {
        if (derive_key(keys, wallet_path(kPaymentAccount, i), k)) out.push_back(k.address);
        wipe_text(k.priv);
        if (i == UINT32_MAX) break;
    }
    return out;
}

}  // namespace dialo
