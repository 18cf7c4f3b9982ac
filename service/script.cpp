#include "service/script.h"

#include <array>

#include "wallet/encoding.h"
#include "wallet/secp256k1.h"
#include "wallet/transaction.h"

namespace dialo::service {
namespace {

constexpr uint8_t kOpReturn = 0x6A;

// One push at `pos`; false when the opcode is not a push or the data runs past the end.
bool readPush(const Bytes& s, size_t& pos, Bytes& data) {
    if (pos >= s.size()) return false;
    uint8_t op = s[pos++];
    size_t len = 0;
    if (op >= 1 && op <= 75) {
        len = op;
    } else if (op == 0x4C || op == 0x4D || op == 0x4E) {
        size_t width = op == 0x4C ? 1 : op == 0x4D ? 2 : 4;
        if (s.size() - pos < width) return false;
        for (size_t i = 0; i < width; ++i) len |= size_t(s[pos + i]) << (8 * i);
        pos += width;
    } else if (op == 0x00) {
        len = 0;
    } else {
        return false;
    }
    if (s.size() - pos < len) return false;
    data.assign(s.begin() + ptrdiff_t(pos), s.begin() + ptrdiff_t(pos + len));
    pos += len;
    return true;
}

// The node's minimal-push rule: each push uses the shortest form for its data.
bool isMinimalPush(uint8_t op, const Bytes& data) {
    if (data.empty()) return op == 0x00;
    if (data.size() == 1 && data[0] >= 1 && data[0] <= 16) return op == 0x50 + data[0];
    if (data.size() == 1 && data[0] == 0x81) return op == 0x4F;
    if (data.size() <= 75) return op == data.size();
    if (data.size() <= 255) return op == 0x4C;
    if (data.size() <= 65535) return op == 0x4D;
    return true;
}

const char* opcodeName(uint8_t op) {
    switch (op) {
    case 0x4F: return "-1";
    case 0x61: return "OP_NOP";
    case 0x63: return "OP_IF";
    case 0x64: return "OP_NOTIF";
    case 0x67: return "OP_ELSE";
    case 0x68: return "OP_ENDIF";
    case 0x69: return "OP_VERIFY";
    case 0x6A: return "OP_RETURN";
    case 0x75: return "OP_DROP";
    case 0x76: return "OP_DUP";
    case 0x7E: return "OP_CAT";
    case 0x87: return "OP_EQUAL";
    case 0x88: return "OP_EQUALVERIFY";
    case 0xA8: return "OP_SHA256";
    case 0xA9: return "OP_HASH160";
    case 0xAA: return "OP_HASH256";
    case 0xAC: return "OP_CHECKSIG";
    case 0xAD: return "OP_CHECKSIGVERIFY";
    case 0xAE: return "OP_CHECKMULTISIG";
    default: return nullptr;
    }
}

// Strict DER (the node's mandatory encoding rule): 30 len 02 lenR R 02 lenS S, minimal
// positive integers, nothing after. Fills 32-byte big-endian r and s.
bool parseDer(const Bytes& der, Scalar32& r, Scalar32& s) {
    if (der.size() < 8 || der.size() > 72 || der[0] != 0x30 || der[1] != der.size() - 2) return false;
    size_t pos = 2;
    auto integer = [&](Scalar32& out) {
        if (pos + 2 > der.size() || der[pos] != 0x02) return false;
        size_t len = der[pos + 1];
        pos += 2;
        if (len == 0 || pos + len > der.size()) return false;
        const uint8_t* p = der.data() + pos;
        if (p[0] & 0x80) return false;                                // negative
        if (len > 1 && p[0] == 0x00 && !(p[1] & 0x80)) return false;  // not minimal
        while (len > 0 && *p == 0x00) {
            ++p;
            --len;
        }
        if (len > 32) return false;
        out.fill(0);
        std::copy(p, p + len, out.end() - ptrdiff_t(len));
        pos = size_t(p - der.data()) + len;
        return true;
    };
    if (!integer(r) || !integer(s)) return false;
    return pos == der.size();
}

}  // namespace

bool isDataScript(const Bytes& script) {
    if (!script.empty() && script[0] == kOpReturn) return true;
    return script.size() >= 2 && script[0] == 0x00 && script[1] == kOpReturn;
}

std::vector<Bytes> dataPushes(const Bytes& script) {
    std::vector<Bytes> out;
    if (!isDataScript(script)) return out;
    size_t pos = script[0] == kOpReturn ? 1 : 2;
    Bytes data;
    while (pos < script.size() && readPush(script, pos, data)) out.push_back(data);
    return out;
}

std::string scriptAsm(const Bytes& script) {
    std::string out;
    size_t pos = 0;
    while (pos < script.size()) {
        if (!out.empty()) out += ' ';
        uint8_t op = script[pos];
        if (op == 0x00) {
            out += '0';
            ++pos;
        } else if (op <= 0x4E) {
            Bytes data;
            if (!readPush(script, pos, data)) {
                out += "[error]";
                break;
            }
            out += hex_encode(data);
        } else if (op >= 0x51 && op <= 0x60) {
            out += std::to_string(op - 0x50);
            ++pos;
        } else {
            const char* name = opcodeName(op);
            out += name ? name : "OP_UNKNOWN";
            ++pos;
        }
    }
    return out;
}

std::string scriptType(const Bytes& script) {
    if (is_p2pkh_script(script)) return "pubkeyhash";
    if (isDataScript(script)) return "nulldata";
    return "nonstandard";
}

std::string checkP2pkhSpend(const Bytes& unlocking, const Hash160& lockHash, const Hash256& digest) {
    size_t pos = 0;
    Bytes sig, pub;
    const uint8_t sigOp = unlocking.empty() ? 0 : unlocking[0];
    if (!readPush(unlocking, pos, sig))
        return "mandatory-script-verify-flag-failed (Only push(signature) push(pubkey) is accepted)";
    const uint8_t pubOp = pos < unlocking.size() ? unlocking[pos] : 0;
    if (!readPush(unlocking, pos, pub) || pos != unlocking.size() || unlocking[0] == 0x00)
        return "mandatory-script-verify-flag-failed (Only push(signature) push(pubkey) is accepted)";
    if (!isMinimalPush(sigOp, sig) || !isMinimalPush(pubOp, pub))
        return "non-mandatory-script-verify-flag (Data push larger than necessary)";
    if (pub.size() != 33 && pub.size() != 65) return "mandatory-script-verify-flag-failed (Public key is wrongly encoded)";
    Hash160 keyHash{};
    if (!hash160(pub.data(), pub.size(), keyHash) || keyHash != lockHash)
        return "mandatory-script-verify-flag-failed (Script failed an OP_EQUALVERIFY operation)";
    if (sig.empty() || sig.back() != kSighashAllForkId)
        return "mandatory-script-verify-flag-failed (Signature must be ALL|FORKID)";
    sig.pop_back();
    Scalar32 r{}, s{};
    if (!parseDer(sig, r, s)) return "mandatory-script-verify-flag-failed (Non-canonical DER signature)";
    if (!is_low_s(s.data()))
        return "non-mandatory-script-verify-flag (Non-canonical signature: S value is unnecessarily high)";
    PubKey65 point{};
    if (!uncompress_public_key(pub.data(), pub.size(), point))
        return "mandatory-script-verify-flag-failed (Public key is wrongly encoded)";
    if (!ecdsa_verify_rs(digest, r.data(), s.data(), point.data(), point.size()))
        return "mandatory-script-verify-flag-failed (Signature must be zero for failed CHECK(MULTI)SIG operation)";
    return {};
}

bool validAddress(const std::string& address) {
    Hash160 h{};
    return decode_p2pkh_address(address, h);
}

std::string addressScriptHex(const std::string& address) {
    Hash160 h{};
    return decode_p2pkh_address(address, h) ? hex_encode(p2pkh_script(h)) : std::string();
}

}  // namespace dialo::service
