#include "wallet/transaction.h"

#include <algorithm>

#include "wallet/encoding.h"
#include "wallet/secp256k1.h"

namespace dialo {
namespace {

constexpr size_t kEstimateScript = 107;  // signature push and compressed-key push
constexpr int64_t kChangeOutputBytes = 34;

void appendLe(Bytes& out, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(uint8_t(v >> (8 * i)));
}

// The 36-byte outpoint: txid bytes reversed, then vout. False when the txid is not 32 bytes.
bool appendOutpoint(Bytes& out, const Coin& c) {
    Bytes id = hex_decode(c.txid);
    if (id.size() != 32) return false;
    out.insert(out.end(), id.rbegin(), id.rend());
    appendLe(out, c.vout, 4);
    return true;
}

void appendOutput(Bytes& out, const TxOutput& o) {
    appendLe(out, uint64_t(o.sats), 8);
    append_varint(out, o.locking.size());
    out.insert(out.end(), o.locking.begin(), o.locking.end());
}

bool usableTxid(const std::string& txid) { return txid.size() == 64 && hex_decode(txid).size() == 32; }

int64_t outputsTotal(const std::vector<TxOutput>& outs) {
    int64_t t = 0;
    for (const TxOutput& o : outs) t += o.sats;
    return t;
}

int64_t coinsTotal(const std::vector<Coin>& coins) {
    int64_t t = 0;
    for (const Coin& c : coins) t += c.sats;
    return t;
}

// Estimate size with room for a change output, and its fee.
int64_t feeWithChangeRoom(const std::vector<Coin>& selected, const std::vector<TxOutput>& outs, int64_t rate) {
    return fee_for_size(int64_t(serialize_tx(selected, outs, true).size()) + kChangeOutputBytes, rate);
}

// Adds a coin when its txid and estimate are sound; false (and nothing added) otherwise.
bool tryAdd(std::vector<Coin>& selected, const Coin& c, const std::vector<TxOutput>& outs) {
    if (!usableTxid(c.txid)) return false;
    selected.push_back(c);
    if (serialize_tx(selected, outs, true).empty()) {
        selected.pop_back();
        return false;
    }
    return true;
}

// The change steps both builders end with.
bool finishWithChange(std::vector<Coin>& coins, std::vector<Coin>& selected, std::vector<TxOutput>& outputs,
                      const Hash160& change, int64_t target, int64_t rate, int64_t& fee, std::string& error) {
    coins = std::move(selected);
    const int64_t total = coinsTotal(coins);
    Bytes est = serialize_tx(coins, outputs, true);
    if (est.empty()) {
        error = "failed to build transaction.";
        return false;
    }
    const int64_t feeWithoutChange = fee_for_size(int64_t(est.size()), rate);
    fee = feeWithoutChange;
    int64_t rest = total - target - fee;
    if (rest >= 1) {
        outputs.push_back({rest, p2pkh_script(change)});
        fee = fee_for_size(int64_t(serialize_tx(coins, outputs, true).size()), rate);
        rest = total - target - fee;
        if (rest < 1) {
            // Without the change output the surplus goes to the miners, and the fee that
            // counts is the one of the transaction actually built.
            outputs.pop_back();
            fee = feeWithoutChange;
        } else {
            outputs.back().sats = rest;
        }
    }
    if (total >= target + fee) return true;
    error = "insufficient funds. Need " + std::to_string(target + fee) + " sats, you have " + std::to_string(total) +
            " in your Vaultra wallet.";
    return false;
}

struct Reader {
    const Bytes& b;
    size_t pos = 0;
    bool ok = true;
    uint64_t le(int n) {
        if (pos + size_t(n) > b.size()) {
            ok = false;
            return 0;
        }
        uint64_t v = 0;
        for (int i = 0; i < n; ++i) v |= uint64_t(b[pos + size_t(i)]) << (8 * i);
        pos += size_t(n);
        return v;
    }
    uint64_t varint() {
        uint64_t first = le(1);
        if (first < 0xFD) return first;
        return le(first == 0xFD ? 2 : first == 0xFE ? 4 : 8);
    }
    Bytes take(uint64_t n) {
        if (!ok || n > b.size() - pos) {
            ok = false;
            return {};
        }
        Bytes out(b.begin() + ptrdiff_t(pos), b.begin() + ptrdiff_t(pos + n));
        pos += size_t(n);
        return out;
    }
};

// Reads the parts in order, keeping each that is whole; false at the first that is not, or at
// a count above its cap (none of whose items are read).
bool readTx(Reader& r, uint64_t inCap, uint64_t outCap, ParsedTx& out) {
    out = ParsedTx{};
    out.version = uint32_t(r.le(4));
    const uint64_t nIn = r.varint();
    if (!r.ok || nIn > inCap) return false;
    for (uint64_t i = 0; i < nIn; ++i) {
        ParsedInput in;
        Bytes id = r.take(32);
        std::reverse(id.begin(), id.end());
        in.prevTxid = hex_encode(id);
        in.vout = uint32_t(r.le(4));
        in.script = r.take(r.varint());
        in.sequence = uint32_t(r.le(4));
        if (!r.ok) return false;
        out.inputs.push_back(std::move(in));
    }
    const uint64_t nOut = r.varint();
    if (!r.ok || nOut > outCap) return false;
    for (uint64_t i = 0; i < nOut; ++i) {
        TxOutput o;
        o.sats = int64_t(r.le(8));
        o.locking = r.take(r.varint());
        if (!r.ok) return false;
        out.outputs.push_back(std::move(o));
    }
    out.lockTime = uint32_t(r.le(4));
    return r.ok;
}

}  // namespace

void append_push(Bytes& script, const uint8_t* data, size_t size) {
    if (size < 76) {
        script.push_back(uint8_t(size));
    } else if (size < 256) {
        script.push_back(0x4C);
        script.push_back(uint8_t(size));
    } else if (size > 65535) {
        script.push_back(0x4E);
        appendLe(script, size, 4);
    } else {
        script.push_back(0x4D);
        appendLe(script, size, 2);
    }
    script.insert(script.end(), data, data + size);
}

Bytes data_output_script(std::string_view payload) {
    Bytes s;
    s.reserve(payload.size() + 8);
    s.push_back(0x00);
    s.push_back(0x6A);
    append_push(s, reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
    return s;
}

Bytes serialize_tx(const std::vector<Coin>& inputs, const std::vector<TxOutput>& outputs, bool estimate) {
    Bytes out;
    size_t guess = 10 + inputs.size() * 150;
    for (const TxOutput& o : outputs) guess += o.locking.size() + 18;
    out.reserve(guess);
    appendLe(out, 1, 4);
    append_varint(out, inputs.size());
    for (const Coin& c : inputs) {
        if (!appendOutpoint(out, c)) return {};
        if (estimate) {
            append_varint(out, kEstimateScript);
            out.insert(out.end(), kEstimateScript, 0);
        } else {
            append_varint(out, c.unlocking.size());
            out.insert(out.end(), c.unlocking.begin(), c.unlocking.end());
        }
        appendLe(out, 0xFFFFFFFFu, 4);
    }
    append_varint(out, outputs.size());
    for (const TxOutput& o : outputs) appendOutput(out, o);
    appendLe(out, 0, 4);
    return out;
}

int64_t fee_for_size(int64_t size, int64_t rate) {
    if (size < 1) return 1;
    if (rate < 1) rate = 1;
    return (rate * size + 999) / 1000;
}

bool build_payment_tx(std::vector<Coin>& coins, const Hash160& destination, const Hash160& change, int64_t amount,
                      std::string_view data, std::vector<TxOutput>& outputs, int64_t& fee, std::string& error) {
    outputs.clear();
    error.clear();
    fee = 0;
    outputs.push_back({amount, p2pkh_script(destination)});
    if (!data.empty()) outputs.push_back({0, data_output_script(data)});

    std::vector<Coin> selected;
    for (const Coin& c : coins) {
        if (!tryAdd(selected, c, outputs)) continue;
        fee = feeWithChangeRoom(selected, outputs, kPaymentRate);
        if (coinsTotal(selected) >= amount + fee) break;
    }
    return finishWithChange(coins, selected, outputs, change, amount, kPaymentRate, fee, error);
}

bool build_tx(std::vector<Coin>& coins, std::vector<TxOutput>& outputs, const Hash160& change,
              const std::vector<TxOutput>& requested, int64_t& fee, std::string& error, size_t forced, int64_t rate) {
    outputs.clear();
    error.clear();
    fee = 0;
    if (requested.empty()) {
        error = "nothing to pay.";
        return false;
    }
    for (const TxOutput& o : requested)
        if (o.sats < 0 || o.locking.empty()) {
            error = "invalid inscription output.";
            return false;
        }
    outputs = requested;
    const int64_t target = outputsTotal(outputs);

    forced = std::min(forced, coins.size());
    std::vector<Coin> selected;
    for (size_t i = 0; i < forced; ++i)
        if (!tryAdd(selected, coins[i], outputs)) {
            outputs.clear();
            error = "could not include inscription input.";
            return false;
        }
    bool enough = false;
    if (!selected.empty() || forced == 0) {
        fee = feeWithChangeRoom(selected, outputs, rate);
        enough = coinsTotal(selected) >= target + fee;
    }
    for (size_t i = forced; i < coins.size() && !enough; ++i) {
        if (!tryAdd(selected, coins[i], outputs)) continue;
        fee = feeWithChangeRoom(selected, outputs, rate);
        enough = coinsTotal(selected) >= target + fee;
    }
    return finishWithChange(coins, selected, outputs, change, target, rate, fee, error);
}

bool signature_hash(const std::vector<Coin>& inputs, size_t index, const std::vector<TxOutput>& outputs,
                    const Bytes& scriptCode, Hash256& digest) {
    digest.fill(0);
    if (index >= inputs.size()) return false;
    Bytes prevouts, sequences, outs;
    prevouts.reserve(inputs.size() * 36);
    for (const Coin& c : inputs) {
        if (!appendOutpoint(prevouts, c)) return false;
        appendLe(sequences, 0xFFFFFFFFu, 4);
    }
    for (const TxOutput& o : outputs) appendOutput(outs, o);

    Bytes pre;
    pre.reserve(160 + scriptCode.size());
    appendLe(pre, 1, 4);
    Hash256 h{};
    if (!sha256d(prevouts, h)) return false;
    pre.insert(pre.end(), h.begin(), h.end());
    if (!sha256d(sequences, h)) return false;
    pre.insert(pre.end(), h.begin(), h.end());
    if (!appendOutpoint(pre, inputs[index])) return false;
    append_varint(pre, scriptCode.size());
    pre.insert(pre.end(), scriptCode.begin(), scriptCode.end());
    appendLe(pre, uint64_t(inputs[index].sats), 8);
    appendLe(pre, 0xFFFFFFFFu, 4);
    if (!sha256d(outs, h)) return false;
    pre.insert(pre.end(), h.begin(), h.end());
    appendLe(pre, 0, 4);
    appendLe(pre, kSighashAllForkId, 4);
    return sha256d(pre, digest);
}

bool sign_input(Coin& coin, const std::vector<Coin>& inputs, const std::vector<TxOutput>& outputs,
                const Hash160& scriptHash, std::string_view privHex, std::string_view pubHex, std::string& error) {
    error.clear();
    auto same = [&coin](const Coin& c) { return c.vout == coin.vout && hex_decode(c.txid) == hex_decode(coin.txid); };
    auto it = std::find_if(inputs.begin(), inputs.end(), same);
    if (it == inputs.end()) {
        error = "the coin is not among the inputs";
        return false;
    }
    Bytes pub = hex_decode(pubHex);
    if (pub.size() != 33) {
        error = "not a compressed public key";
        return false;
    }
    const Bytes code = coin.locking.empty() ? p2pkh_script(scriptHash) : coin.locking;
    Hash256 digest{};
    if (!signature_hash(inputs, size_t(it - inputs.begin()), outputs, code, digest)) {
        error = "could not hash the transaction";
        return false;
    }
    Bytes der;
    if (!sign_ecdsa(privHex, digest, der)) {
        error = "could not sign";
        return false;
    }
    der.push_back(kSighashAllForkId);
    Bytes script;
    script.reserve(der.size() + 36);
    append_push(script, der.data(), der.size());
    append_push(script, pub.data(), pub.size());
    coin.unlocking = std::move(script);
    return true;
}

std::string txid_of(const Bytes& raw) {
    Hash256 h{};
    if (!sha256d(raw, h)) return {};
    std::reverse(h.begin(), h.end());
    return hex_encode(h);
}

bool parse_tx(const Bytes& raw, ParsedTx& out) {
    Reader r{raw};
    // Every input takes at least 41 bytes and every output 9: a larger count cannot be whole.
    return readTx(r, raw.size() / 41, raw.size() / 9, out) && r.pos == raw.size();
}

bool read_tx_prefix(const Bytes& raw, uint64_t countCap, ParsedTx& out) {
    Reader r{raw};
    return readTx(r, countCap, countCap, out);
}

}  // namespace dialo
