#include "vaultra/identity.h"

#include <algorithm>
#include <cctype>

#include "base/base64.h"
#include "base/text.h"
#include "wallet/encoding.h"
#include "wallet/keys.h"
#include "wallet/mnemonic.h"
#include "wallet/openssl_handles.h"
#include "wallet/secp256k1.h"
#include "wallet/wallet_file.h"
#include "wallet/wallet_state.h"

namespace dialo {
namespace {

constexpr char kNotConnected[] = "Vaultra HD wallet not connected";
constexpr char kNoIdentityKey[] = "could not derive Vaultra identity key";

// The bound wallet is read on first use, as for every wallet operation.
bool hdWalletReady(WalletState& w) REQUIRES(walletMutex()) { return load_wallet(w) && w.keys.hd && validate_mnemonic(w.keys.mnemonic); }

// Derives the identity key under a lock the caller holds.
bool identityKeyLocked(WalletState& w, KeyTriple& key, std::string& error) REQUIRES(walletMutex()) {
    if (!hdWalletReady(w)) {
        error = kNotConnected;
        return false;
    }
    if (w.keys.mnemonic.empty() || !derive_key(w.keys, wallet_path(kIdentityAccount, 0), key) ||
        key.priv.size() != 64) {
        wipe_text(key.priv);
        error = kNoIdentityKey;
        return false;
    }
    return true;
}

// Standard alphabet; "=" and white space are skipped wherever they stand.
bool decodeLenientBase64(std::string_view text, Bytes& out) {
    out.clear();
    uint32_t acc = 0;
    int bits = 0;
    for (char c : text) {
        int v;
        if (c >= 'A' && c <= 'Z') v = c - 'A';
        else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
        else if (c >= '0' && c <= '9') v = c - '0' + 52;
        else if (c == '+') v = 62;
        else if (c == '/') v = 63;
        else if (c == '=' || std::isspace(static_cast<unsigned char>(c))) continue;
        else return false;
        acc = (acc << 6) | uint32_t(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(uint8_t(acc >> bits));
            acc &= (1u << bits) - 1;
        }
    }
    return true;
}

Bytes rsBytes(const Scalar32& r, const Scalar32& s) {
    Bytes sig(64);
    std::copy(r.begin(), r.end(), sig.begin());
    std::copy(s.begin(), s.end(), sig.begin() + 32);
    return sig;
}

}  // namespace

bool signed_message_digest(std::string_view message, Hash256& digest) {
    static constexpr char kPrefix[] = "Bitcoin Signed Message:\n";
    Bytes data;
    data.reserve(message.size() + 30);
    data.push_back(24);
    data.insert(data.end(), kPrefix, kPrefix + 24);
    append_varint(data, message.size());
    data.insert(data.end(), message.begin(), message.end());
    return sha256d(data, digest);
}

bool identity_key_hex(std::string& privHex, std::string& error) {
    privHex.clear();
    error.clear();
    auto g = lockWallet();
    KeyTriple key;
    if (!identityKeyLocked(g.state, key, error)) return false;
    privHex = key.priv;
    wipe_text(key.priv);
    return true;
}

bool identity_sign(std::string_view message, std::string& pubHex, std::string& signature, std::string& error) {
    auto g = lockWallet();
    return identity_sign_held(g.state, message, pubHex, signature, error);
}

bool identity_sign_held(WalletState& w, std::string_view message, std::string& pubHex, std::string& signature,
                        std::string& error) {
    pubHex.clear();
    signature.clear();
    error.clear();
    KeyTriple key;
    if (!identityKeyLocked(w, key, error)) return false;

    Bytes priv = hex_decode(key.priv);
    ScopedWipe wipePriv(priv);
    wipe_text(key.priv);
    Scalar32 r{}, s{};
    Hash256 digest{};
    bool ok = priv.size() == 32 && signed_message_digest(message, digest) && ecdsa_sign_rs(priv.data(), digest, r, s);
    // Second form kept for peers that sign the plain hash; verify_message accepts both.
    if (!ok) ok = priv.size() == 32 && sha256(message, digest) && ecdsa_sign_rs(priv.data(), digest, r, s);
    if (!ok) {
        error = "Vaultra identity sign failed";
        return false;
    }
    pubHex = key.pub;
    signature = base64Encode(rsBytes(r, s));
    return true;
}

bool derive_bn_key(std::string& pubHex, std::string& privHex, std::string& address, std::string& error) {
    auto g = lockWallet();
    return derive_bn_key_held(g.state, pubHex, privHex, address, error);
}

bool derive_bn_key_held(WalletState& w, std::string& pubHex, std::string& privHex, std::string& address,
                        std::string& error) {
    pubHex.clear();
    privHex.clear();
    address.clear();
    error.clear();
    if (!hdWalletReady(w)) {
        error = kNotConnected;
        return false;
    }
    KeyTriple key;
    if (!derive_key(w.keys, wallet_path(kBnAccount, 0), key) || key.priv.size() != 64 || key.pub.size() != 66 ||
        key.address.empty()) {
        wipe_text(key.priv);
        error = "could not derive the BN key";
        return false;
    }
    pubHex = key.pub;
    privHex = key.priv;
    address = key.address;
    wipe_text(key.priv);
    return true;
}

bool sign_message_compact(std::string_view privHex, std::string_view message, std::string& signature) {
    signature.clear();
    Hash256 digest{};
    if (!signed_message_digest(message, digest)) return false;
    Bytes priv = hex_decode(privHex);
    ScopedWipe wipePriv(priv);
    Scalar32 r{}, s{};
    int id = -1;
    if (priv.size() != 32 || !ecdsa_sign_recoverable(priv.data(), digest, r, s, id) || id < 0 || id > 3) return false;
    Bytes sig(65);
    sig[0] = uint8_t(31 + id);
    std::copy(r.begin(), r.end(), sig.begin() + 1);
    std::copy(s.begin(), s.end(), sig.begin() + 33);
    signature = base64Encode(sig);
    return !signature.empty();
}

bool recover_public_key(const Hash256& digest, const uint8_t* rs64, int recoveryId, bool compressed, Bytes& pubkey) {
    pubkey.clear();
    PubKey65 full{};
    if (!ecdsa_recover(digest, rs64, rs64 + 32, recoveryId, full)) return false;
    if (!compressed) {
        pubkey.assign(full.begin(), full.end());
        return true;
    }
    PubKey33 small{};
    if (!compress_public_key(full.data(), full.size(), small)) return false;
    pubkey.assign(small.begin(), small.end());
    return true;
}

bool verify_signature(const Hash256& digest, const Bytes& signature, const Bytes& pubkey) {
    if (signature.size() != 64 && signature.size() != 65) return false;
    if (pubkey.size() != 33 && pubkey.size() != 65) return false;
    const uint8_t* rs = signature.data() + (signature.size() - 64);
    return ecdsa_verify_rs(digest, rs, rs + 32, pubkey.data(), pubkey.size());
}

bool verify_message(std::string_view message, std::string_view pubHex, std::string_view signatureBase64) {
    Bytes pub, sig;
    if (!parse_hex_trimmed(pubHex, pub)) return false;
    if (!decodeLenientBase64(signatureBase64, sig) || (sig.size() != 64 && sig.size() != 65)) return false;
    if (pub.size() != 33 && pub.size() != 65) return false;
    // Checked once; the uncompressed form is the cheaper one to parse again for each digest.
    PubKey65 key{};
    if (!uncompress_public_key(pub.data(), pub.size(), key)) return false;
    const uint8_t* rs = sig.data() + (sig.size() - 64);
    Hash256 candidates[3]{};
    if (!signed_message_digest(message, candidates[0]) || !sha256(message, candidates[1]) ||
        !sha256(candidates[1].data(), candidates[1].size(), candidates[2]))
        return false;
    for (const Hash256& digest : candidates)
        if (ecdsa_verify_rs(digest, rs, rs + 32, key.data(), key.size())) return true;
    return false;
}

std::string normalize_pubkey(const Bytes& pubkey) {
    if (pubkey.size() == 33 && (pubkey[0] == 0x02 || pubkey[0] == 0x03)) return hex_encode(pubkey);
    if (pubkey.size() != 65 || pubkey[0] != 0x04) return {};
    PubKey33 out{};
    if (!compress_public_key(pubkey.data(), pubkey.size(), out)) return {};
    return hex_encode(out);
}

bool parse_hex_trimmed(std::string_view text, Bytes& out) {
    out.clear();
    text = trimBlanks(text);
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
    if (text.size() % 2 != 0) return false;
    out = hex_decode(text);
    return out.size() * 2 == text.size();
}

}  // namespace dialo
