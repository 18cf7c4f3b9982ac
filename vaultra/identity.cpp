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
    PubKey33 own{};
    Scalar32 r{}, s{};
    if (priv.size() != 32 || !public_key_of(priv.data(), own) || !ecdsa_sign_rs(priv.data(), digest, r, s))
        return false;

    BnCtxPtr ctx = newBnCtx();
    if (!ctx) return false;
    for (int id = 0; id < 4; ++id) {
        EcPointPtr q = recover_public_key(secp256k1().group, digest, r.data(), s.data(), id);
        PubKey33 got{};
        if (!q || !encode_compressed(q.get(), got, ctx.get()) || got != own) continue;
        Bytes sig(65);
        sig[0] = uint8_t(31 + id);
        std::copy(r.begin(), r.end(), sig.begin() + 1);
        std::copy(s.begin(), s.end(), sig.begin() + 33);
        signature = base64Encode(sig);
        return !signature.empty();
    }
    return false;
}

EcPointPtr recover_public_key(const EC_GROUP* group, const Hash256& digest, const uint8_t* r32, const uint8_t* s32,
                              int recoveryId) {
    if (group == nullptr || recoveryId < 0 || recoveryId > 3) return nullptr;
    const Curve& c = secp256k1();
    BnCtxPtr ctx = newBnCtx();
    BnPtr r(BN_bin2bn(r32, 32, nullptr)), s(BN_bin2bn(s32, 32, nullptr));
    BnPtr e(BN_bin2bn(digest.data(), int(digest.size()), nullptr));
    BnPtr x = newBn(), rinv = newBn(), u1 = newBn(), u2 = newBn();
    EcPointPtr R(EC_POINT_new(group)), Q(EC_POINT_new(group));
    if (!ctx || !r || !s || !e || !x || !rinv || !u1 || !u2 || !R || !Q) return nullptr;
    if (BN_is_zero(r.get()) || BN_cmp(r.get(), c.order) >= 0 || BN_is_zero(s.get()) || BN_cmp(s.get(), c.order) >= 0)
        return nullptr;

    if (!BN_copy(x.get(), r.get())) return nullptr;
    if ((recoveryId & 2) && BN_add(x.get(), x.get(), c.order) != 1) return nullptr;
    if (BN_cmp(x.get(), c.prime) >= 0) return nullptr;
    if (EC_POINT_set_compressed_coordinates(group, R.get(), x.get(), recoveryId & 1, ctx.get()) != 1) return nullptr;

    // Q = (-e·r⁻¹ mod n)·G + (s·r⁻¹ mod n)·R
    if (!BN_mod_inverse(rinv.get(), r.get(), c.order, ctx.get())) return nullptr;
    if (BN_mod_mul(u1.get(), e.get(), rinv.get(), c.order, ctx.get()) != 1) return nullptr;
    if (!BN_is_zero(u1.get()) && BN_sub(u1.get(), c.order, u1.get()) != 1) return nullptr;
    if (BN_mod_mul(u2.get(), s.get(), rinv.get(), c.order, ctx.get()) != 1) return nullptr;
    if (EC_POINT_mul(group, Q.get(), u1.get(), R.get(), u2.get(), ctx.get()) != 1) return nullptr;
    if (EC_POINT_is_at_infinity(group, Q.get())) return nullptr;
    return Q;
}

bool verify_signature(const Hash256& digest, const Bytes& signature, const Bytes& pubkey) {
    if (signature.size() != 64 && signature.size() != 65) return false;
    if (pubkey.size() != 33 && pubkey.size() != 65) return false;
    BnCtxPtr ctx = newBnCtx();
    if (!ctx) return false;
    EcPointPtr q = decode_point(pubkey.data(), pubkey.size(), ctx.get());
    if (!q) return false;
    const uint8_t* rs = signature.data() + (signature.size() - 64);
    return ecdsa_verify_rs(digest, rs, rs + 32, q.get(), ctx.get());
}

bool verify_message(std::string_view message, std::string_view pubHex, std::string_view signatureBase64) {
    Bytes pub, sig;
    if (!parse_hex_trimmed(pubHex, pub)) return false;
    if (!decodeLenientBase64(signatureBase64, sig) || (sig.size() != 64 && sig.size() != 65)) return false;
    if (pub.size() != 33 && pub.size() != 65) return false;
    BnCtxPtr ctx = newBnCtx();
    if (!ctx) return false;
    EcPointPtr q = decode_point(pub.data(), pub.size(), ctx.get());
    if (!q) return false;
    const uint8_t* rs = sig.data() + (sig.size() - 64);
    Hash256 candidates[3]{};
    if (!signed_message_digest(message, candidates[0]) || !sha256(message, candidates[1]) ||
        !sha256(candidates[1].data(), candidates[1].size(), candidates[2]))
        return false;
    for (const Hash256& digest : candidates)
        if (ecdsa_verify_rs(digest, rs, rs + 32, q.get(), ctx.get())) return true;
    return false;
}

std::string normalize_pubkey(const Bytes& pubkey) {
    if (pubkey.size() == 33 && (pubkey[0] == 0x02 || pubkey[0] == 0x03)) return hex_encode(pubkey);
    if (pubkey.size() != 65 || pubkey[0] != 0x04) return {};
    BnCtxPtr ctx = newBnCtx();
    if (!ctx) return {};
    EcPointPtr q = decode_point(pubkey.data(), pubkey.size(), ctx.get());
    PubKey33 out{};
    if (!q || !encode_compressed(q.get(), out, ctx.get())) return {};
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
