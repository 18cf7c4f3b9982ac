// Answers one JSON request per line with one JSON line, so that the interop checks can hold
// Dialo's keys, signatures, ECIES blobs, transactions and call events up against @bsv/sdk. Byte strings cross as lower-case hex. "ok": false marks only a malformed
// request; a refused signature or blob is an ordinary answer ("valid"/"opened" false).

#include <algorithm>
#include <array>
#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/clock.h"
#include "base/config.h"
#include "call/event.h"
#include "store/phone_store.h"
#include "support/wallet_doc.h"
#include "vaultra/ecies.h"
#include "vaultra/envelope.h"
#include "vaultra/identity.h"
#include "wallet/binding.h"
#include "wallet/encoding.h"
#include "wallet/keys.h"
#include "wallet/mnemonic.h"
#include "wallet/transaction.h"
#include "wallet/wallet_file.h"
#include "wallet/wallet_state.h"

using nlohmann::json;
using namespace dialo;

namespace {

struct BadRequest {
    std::string what;
};

std::string text(const json& req, const char* name) {
    auto it = req.find(name);
    if (it == req.end() || !it->is_string()) throw BadRequest{std::string("missing string field ") + name};
    return it->get<std::string>();
}

// Hex in, raw bytes out as a string, because the code under test takes string_view.
std::string bytesField(const json& req, const char* name) {
    const std::string hex = text(req, name);
    Bytes b = hex_decode(hex);
    if (b.size() * 2 != hex.size()) throw BadRequest{std::string("field is not hex: ") + name};
    return std::string(b.begin(), b.end());
}

std::string toHex(const std::string& s) { return hex_encode(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }

uint32_t u32(const json& v) {
    if (!v.is_number_unsigned() || v.get<uint64_t>() > 0xFFFFFFFFull) throw BadRequest{"path element out of range"};
    return v.get<uint32_t>();
}

// A path is [account, index].
DerivationPath pathOf(const json& p) {
    if (!p.is_array() || p.size() != 2) throw BadRequest{"path is not [account, index]"};
    return wallet_path(u32(p[0]), u32(p[1]));
}

json derive(const json& req) {
    WalletKeys keys;
    keys.hd = true;
    keys.mnemonic = text(req, "mnemonic");
    json out = json::array();
    for (const json& p : req.at("paths")) {
        KeyTriple k;
        if (derive_key(keys, pathOf(p), k))
            out.push_back({{"priv", k.priv}, {"pub", k.pub}, {"address", k.address}});
        else
            out.push_back(nullptr);
    }
    wipe_wallet_keys(keys);
    return {{"keys", out}};
}

json mnemonic(const json& req) {
    std::array<uint8_t, 16> entropy{};
    const std::string e = bytesField(req, "entropy");
    if (e.size() != entropy.size()) throw BadRequest{"entropy must be 16 bytes"};
    std::copy(e.begin(), e.end(), entropy.begin());
    return {{"mnemonic", mnemonic_from_entropy(entropy)}};
}

// ---- Transactions ----------------------------------------------------------------------

int64_t integer(const json& req, const char* name) {
    auto it = req.find(name);
    if (it == req.end() || !it->is_number_integer()) throw BadRequest{std::string("missing integer field ") + name};
    return it->get<int64_t>();
}

Hash160 addressHash(const std::string& address) {
    Hash160 h{};
    if (!decode_p2pkh_address(address, h)) throw BadRequest{"not a P2PKH address: " + address};
    return h;
}

// An outpoint and amount; the txid is passed through as given so the builders judge it.
Coin plainCoin(const json& c) {
    Coin coin;
    coin.txid = text(c, "txid");
    coin.vout = u32(c.at("vout"));
    coin.sats = integer(c, "sats");
    return coin;
}

// Each output is {address, sats}, or {script (hex), sats} for any other locking script.
std::vector<TxOutput> outputsOf(const json& list) {
    std::vector<TxOutput> out;
    for (const json& o : list) {
        TxOutput t;
        t.sats = integer(o, "sats");
        if (o.contains("address"))
            t.locking = p2pkh_script(addressHash(text(o, "address")));
        else
            t.locking = hex_decode(text(o, "script"));
        out.push_back(std::move(t));
    }
    return out;
}

json outputsJson(const std::vector<TxOutput>& outs) {
    json a = json::array();
    for (const TxOutput& o : outs) a.push_back({{"sats", o.sats}, {"script", hex_encode(o.locking)}});
    return a;
}

json parsedJson(const ParsedTx& p) {
    json ins = json::array();
    for (const ParsedInput& i : p.inputs)
        ins.push_back({{"txid", i.prevTxid}, {"vout", i.vout}, {"script", hex_encode(i.script)}, {"sequence", i.sequence}});
    return {{"version", p.version}, {"inputs", ins}, {"outputs", outputsJson(p.outputs)}, {"lockTime", p.lockTime}};
}

// Inputs owned by keys of the test phrase (path [account, index]) or by an explicit "priv";
// P2PKH outputs, then the data output when "data" is given (even empty). Every input is
// signed with sign_input over its owner's P2PKH script.
json buildSignTx(const json& req) {
    WalletKeys keys;
    keys.hd = true;
    keys.mnemonic = test::kAbandon;
    std::vector<Coin> coins;
    std::vector<KeyTriple> signers;  // beside the coins: a coin names only its owner
    for (const json& c : req.at("inputs")) {
        Coin coin = plainCoin(c);
        KeyTriple k;
        if (c.contains("priv")) {
            k.priv = text(c, "priv");
            if (!pubkey_from_priv(k.priv, k.pub)) throw BadRequest{"unusable private key"};
        } else if (!derive_key(keys, pathOf(c.at("path")), k)) {
            throw BadRequest{"path did not derive"};
        }
        Bytes pub = hex_decode(k.pub);
        if (!hash160(pub.data(), pub.size(), coin.owner)) throw BadRequest{"could not hash the key"};
        coin.locking = p2pkh_script(coin.owner);
        coins.push_back(std::move(coin));
        signers.push_back(std::move(k));
    }
    wipe_wallet_keys(keys);
    std::vector<TxOutput> outputs = outputsOf(req.at("outputs"));
    if (req.contains("data")) outputs.push_back({0, data_output_script(bytesField(req, "data"))});

    for (size_t i = 0; i < coins.size(); ++i) {
        Coin signing = coins[i];
        std::string error;
        if (!sign_input(signing, coins, outputs, coins[i].owner, signers[i].priv, signers[i].pub, error))
            return {{"raw", nullptr}, {"error", error}};
        coins[i].unlocking = std::move(signing.unlocking);
    }
    Bytes raw = serialize_tx(coins, outputs, false);
    if (raw.empty()) return {{"raw", nullptr}};
    ParsedTx parsed;
    json back = parse_tx(raw, parsed) ? parsedJson(parsed) : json(nullptr);
    return {{"raw", hex_encode(raw)},
            {"txid", txid_of(raw)},
            {"estimate", serialize_tx(coins, outputs, true).size()},
            {"parsed", back}};
}

// build_tx (requested outputs, rate) or build_payment_tx (destination, amount, data), both with
// change to "change".
json buildTx(const json& req) {
    std::vector<Coin> coins;
    for (const json& c : req.at("coins")) coins.push_back(plainCoin(c));
    const Hash160 change = addressHash(text(req, "change"));
    std::vector<TxOutput> outputs;
    int64_t fee = -1;
    std::string error;
    bool built;
    if (text(req, "mode") == "payment") {
        built = build_payment_tx(coins, addressHash(text(req, "destination")), change, integer(req, "amount"),
                                 req.contains("data") ? bytesField(req, "data") : std::string(), outputs, fee, error);
    } else {
        built = build_tx(coins, outputs, change, outputsOf(req.at("requested")), fee, error, 0,
                         integer(req, "rate"));
    }
    json selected = json::array();
    for (const Coin& c : coins) selected.push_back({{"txid", c.txid}, {"vout", c.vout}, {"sats", c.sats}});
    return {{"built", built}, {"error", error}, {"fee", fee}, {"outputs", outputsJson(outputs)}, {"selected", selected}};
}

json parseTx(const json& req) {
    Bytes raw = hex_decode(text(req, "raw"));
    ParsedTx parsed;
    if (!parse_tx(raw, parsed)) return {{"parsed", nullptr}};
    return {{"parsed", parsedJson(parsed)}, {"txid", txid_of(raw)}};
}

// ---- Call events -----------------------------------------------------------------------
// These run the phone's own code against the network of the phone.json in $LOCALAPPDATA.

const json& objectField(const json& req, const char* name) {
    auto it = req.find(name);
    if (it == req.end() || !it->is_object()) throw BadRequest{std::string("missing object field ") + name};
    return *it;
}

// Reads the network as the phone does at start-up; only on request, so that the other checks
// never leave a settings file in a real platform folder.
json configure() {
    load_settings();
    return {{"service_domain", networkConfig().serviceDomain}};
}

// Writes a wallet file the way Vaultra does ("paymail" holds the handle) and binds it, so that
// signing goes through the connected wallet as it does in the phone.
json useWallet(const json& req) {
    const std::string id = text(req, "id");
    if (!is_plain_wallet_id(id)) throw BadRequest{"not a plain wallet id"};
    if (!test::writeFile(wallet_dir_path(id) + "/wallet.json", test::walletDoc(text(req, "mnemonic"), text(req, "handle")).dump()))
        throw BadRequest{"cannot write the wallet file of " + id};
    auto g = lockWallet();
    reset_wallet_state(g.state);
    set_bound_wallet_id(g.state, id);
    return {{"loaded", load_wallet(g.state)}};
}

// The outgoing steps of sendEvent up to the payload, without the spend: the event built for
// its kind, completed with "handle", "pay" and the recipient's mark, signed by the bound wallet,
// sealed to "to".
json outgoing(const json& req) {
    const std::string kind = text(req, "kind"), id = text(req, "id");
    json event;
    if (kind == kAudio) {
        const std::string gsm = bytesField(req, "gsm");
        event = buildAudioEvent(id, integer(req, "n"), Bytes(gsm.begin(), gsm.end()));
    } else if (kind == kTape) {
        const std::string gsm = bytesField(req, "gsm");
        event = buildTapeEvent(id, Bytes(gsm.begin(), gsm.end()), integer(req, "secs"));
    } else {
        event = buildEvent(kind, id);
    }
    event["protocol"] = kProtocol;
    event["type"] = "dl";
    event["location"] = "dialo";
    event["handle"] = text(req, "handle");
    event["pay"] = text(req, "pay");
    if (!text(req, "recipient").empty()) event["mark"] = recipientMark(kind, text(req, "recipient"));
    std::string error;
    if (!build_protocol_message(event, error)) return {{"payload", nullptr}, {"error", error}};
    json outer = buildEnvelope(nowSeconds());
    if (!seal(compactText(event), text(req, "to"), outer, error)) return {{"payload", nullptr}, {"error", error}};
    return {{"payload", compactText(outer)}, {"error", ""}};
}

// The incoming steps with a given receiver key, then the verification the dispatcher makes.
json incoming(const json& req) {
    std::optional<json> event = openPayloadWith(text(req, "payload"), text(req, "priv"));
    if (!event) return {{"opened", false}};
    return {{"opened", true},
            {"event", *event},
            {"canonical", canonical_text(*event)},
            {"verified", verify_protocol_message(*event)}};
}

json dispatch(const json& req) {
    const std::string cmd = text(req, "cmd");
    if (cmd == "derive") return derive(req);
    if (cmd == "seed") {
        Hash512 s{};
        return {{"seed", mnemonic_to_seed(text(req, "mnemonic"), s) ? json(hex_encode(s)) : json(nullptr)}};
    }
    if (cmd == "validate") return {{"valid", validate_mnemonic(text(req, "mnemonic"))}};
    if (cmd == "mnemonic") return mnemonic(req);
    if (cmd == "pubkey") {
        std::string pub;
        if (!pubkey_from_priv(text(req, "priv"), pub)) return {{"pub", nullptr}};
        return {{"pub", pub}, {"address", address_from_pubkey(pub)}};
    }
    if (cmd == "decode_address") {
        Hash160 h{};
        if (!decode_p2pkh_address(text(req, "address"), h)) return {{"hash", nullptr}};
        return {{"hash", hex_encode(h)}};
    }
    if (cmd == "sign_compact") {
        std::string sig;
        if (!sign_message_compact(text(req, "priv"), bytesField(req, "message"), sig)) return {{"signature", nullptr}};
        return {{"signature", sig}};
    }
    if (cmd == "verify_message")
        return {{"valid", verify_message(bytesField(req, "message"), text(req, "pub"), text(req, "signature"))}};
    if (cmd == "seal") {
        std::string blob;
        if (!ecies_seal(bytesField(req, "plaintext"), text(req, "pub"), blob)) return {{"blob", nullptr}};
        return {{"blob", blob}};
    }
    if (cmd == "unseal") {
        std::string plain;
        if (!ecies_unseal(text(req, "blob"), text(req, "priv"), "", plain)) return {{"opened", false}};
        return {{"opened", true}, {"plaintext", toHex(plain)}};
    }
    if (cmd == "build_sign_tx") return buildSignTx(req);
    if (cmd == "build_tx") return buildTx(req);
    if (cmd == "parse_tx") return parseTx(req);
    if (cmd == "configure") return configure();
    if (cmd == "use_wallet") return useWallet(req);
    if (cmd == "outgoing") return outgoing(req);
    if (cmd == "incoming") return incoming(req);
    if (cmd == "canonical") return {{"text", canonical_text(objectField(req, "event"))}};
    throw BadRequest{"unknown command " + cmd};
}

}  // namespace

int main() {
    std::ios::sync_with_stdio(false);
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.empty()) continue;
        json answer;
        try {
            answer = dispatch(json::parse(line));
            answer["ok"] = true;
        } catch (const BadRequest& e) {
            answer = {{"ok", false}, {"error", e.what}};
        } catch (const json::exception& e) {
            answer = {{"ok", false}, {"error", e.what()}};
        }
        std::cout << answer.dump() << '\n' << std::flush;
    }
    return 0;
}
