// One JSON line per request, for the interop checks; "ok": false marks only a malformed request.
#include <algorithm>
#include <array>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <vector>
#include <nlohmann/json.hpp>
#include "base/config.h"
#include "call/event.h"
#include "store/phone_store.h"
#include "vaultra/ecies.h"
#include "vaultra/envelope.h"
#include "vaultra/identity.h"
#include "wallet/encoding.h"
#include "wallet/keys.h"
#include "wallet/mnemonic.h"
#include "wallet/transaction.h"

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
int64_t integer(const json& req, const char* name) {
    auto it = req.find(name);
    if (it == req.end() || !it->is_number_integer()) throw BadRequest{std::string("missing integer field ") + name};
    return it->get<int64_t>();
}
// Hex in, raw bytes out as a string, because the code under test takes string_view.
std::string bytesField(const json& req, const char* name) {
    const std::string hex = text(req, name);
    Bytes b = hex_decode(hex);
    if (b.size() * 2 != hex.size()) throw BadRequest{std::string("field is not hex: ") + name};
    return std::string(b.begin(), b.end());
}
uint32_t u32(const json& v) {
    if (!v.is_number_unsigned() || v.get<uint64_t>() > 0xFFFFFFFFull) throw BadRequest{"number out of range"};
    return v.get<uint32_t>();
}
// A path is [account, index] under m/44'/236'.
DerivationPath pathOf(const json& p) {
    if (!p.is_array() || p.size() != 2) throw BadRequest{"path is not [account, index]"};
    return wallet_path(u32(p[0]), u32(p[1]));
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
    for (const json& o : list)
        out.push_back({integer(o, "sats"), o.contains("address") ? p2pkh_script(addressHash(text(o, "address")))
                                                                 : hex_decode(text(o, "script"))});
    return out;
}
json outputsJson(const std::vector<TxOutput>& outs) {
    json a = json::array();
    for (const TxOutput& o : outs) a.push_back({{"sats", o.sats}, {"script", hex_encode(o.locking)}});
    return a;
}
json parsedJson(const Bytes& raw) {
    ParsedTx p;
    if (!parse_tx(raw, p)) return nullptr;
    json ins = json::array();
    for (const ParsedInput& i : p.inputs)
        ins.push_back({{"txid", i.prevTxid}, {"vout", i.vout}, {"script", hex_encode(i.script)}, {"sequence", i.sequence}});
    return {{"version", p.version}, {"inputs", ins}, {"outputs", outputsJson(p.outputs)}, {"lockTime", p.lockTime}};
}
WalletKeys hdKeys(const std::string& mnemonic) {
    WalletKeys keys;
    keys.hd = true;
    keys.mnemonic = mnemonic;
    return keys;
}
// Inputs owned by test-phrase keys or an explicit "priv", each signed over its owner's P2PKH script.
json buildSignTx(const json& req) {
    WalletKeys keys = hdKeys("abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon about");
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
    return {{"raw", hex_encode(raw)}, {"txid", txid_of(raw)}, {"estimate", serialize_tx(coins, outputs, true).size()},
            {"parsed", parsedJson(raw)}};
}
// Both builders send change to "change".
json buildTx(const json& req) {
    std::vector<Coin> coins;
    for (const json& c : req.at("coins")) coins.push_back(plainCoin(c));
    const Hash160 change = addressHash(text(req, "change"));
    std::vector<TxOutput> outputs;
    int64_t fee = -1;
    std::string error;
    const bool built = text(req, "mode") == "payment"
        ? build_payment_tx(coins, addressHash(text(req, "destination")), change, integer(req, "amount"),
                           req.contains("data") ? bytesField(req, "data") : std::string(), outputs, fee, error)
        : build_tx(coins, outputs, change, outputsOf(req.at("requested")), fee, error, 0, integer(req, "rate"));
    json selected = json::array();
    for (const Coin& c : coins) selected.push_back({{"txid", c.txid}, {"vout", c.vout}, {"sats", c.sats}});
    return {{"built", built}, {"error", error}, {"fee", fee}, {"outputs", outputsJson(outputs)}, {"selected", selected}};
}
const std::map<std::string, std::function<json(const json&)>> kCommands = {
    {"derive",
     [](const json& req) {
         WalletKeys keys = hdKeys(text(req, "mnemonic"));
         json out = json::array();
         for (const json& p : req.at("paths")) {
             KeyTriple k;
             out.push_back(derive_key(keys, pathOf(p), k) ? json{{"priv", k.priv}, {"pub", k.pub}, {"address", k.address}}
                                                          : json(nullptr));
         }
         wipe_wallet_keys(keys);
         return json{{"keys", out}};
     }},
    {"seed", [](const json& req) { Hash512 s{}; return json{{"seed", mnemonic_to_seed(text(req, "mnemonic"), s) ? json(hex_encode(s)) : json()}}; }},
    {"validate", [](const json& req) { return json{{"valid", validate_mnemonic(text(req, "mnemonic"))}}; }},
    {"mnemonic",
     [](const json& req) {
         std::array<uint8_t, 16> entropy{};
         const std::string e = bytesField(req, "entropy");
         if (e.size() != entropy.size()) throw BadRequest{"entropy must be 16 bytes"};
         std::copy(e.begin(), e.end(), entropy.begin());
         return json{{"mnemonic", mnemonic_from_entropy(entropy)}};
     }},
    {"pubkey",
     [](const json& req) {
         std::string pub;
         if (!pubkey_from_priv(text(req, "priv"), pub)) return json{{"pub", nullptr}};
         return json{{"pub", pub}, {"address", address_from_pubkey(pub)}};
     }},
    {"decode_address", [](const json& req) { Hash160 h{}; return json{{"hash", decode_p2pkh_address(text(req, "address"), h) ? json(hex_encode(h)) : json()}}; }},
    {"sign_compact", [](const json& req) { std::string sig; return json{{"signature", sign_message_compact(text(req, "priv"), bytesField(req, "message"), sig) ? json(sig) : json()}}; }},
    {"verify_message", [](const json& req) { return json{{"valid", verify_message(bytesField(req, "message"), text(req, "pub"), text(req, "signature"))}}; }},
    {"seal", [](const json& req) { std::string blob; return json{{"blob", ecies_seal(bytesField(req, "plaintext"), text(req, "pub"), blob) ? json(blob) : json()}}; }},
    {"unseal",
     [](const json& req) {
         std::string plain;
         if (!ecies_unseal(text(req, "blob"), text(req, "priv"), "", plain)) return json{{"opened", false}};
         return json{{"opened", true}, {"plaintext", hex_encode(reinterpret_cast<const uint8_t*>(plain.data()), plain.size())}};
     }},
    {"build_sign_tx", buildSignTx},
    {"build_tx", buildTx},
    {"parse_tx",
     [](const json& req) {
         const Bytes raw = hex_decode(text(req, "raw"));
         return json{{"parsed", parsedJson(raw)}, {"txid", txid_of(raw)}};
     }},
    // Read only on request, so the other checks never leave a settings file behind.
    {"configure",
     [](const json&) {
         load_settings();
         return json{{"service_domain", networkConfig().serviceDomain}};
     }},
    // The incoming steps with a given receiver key, then the verification the dispatcher makes.
    {"incoming",
     [](const json& req) {
         std::optional<json> event = openPayloadWith(text(req, "payload"), text(req, "priv"));
         if (!event) return json{{"opened", false}};
         return json{{"opened", true}, {"event", *event}, {"canonical", canonical_text(*event)},
                     {"verified", verify_protocol_message(*event)}};
     }},
};
}  // namespace

int main() {
    std::ios::sync_with_stdio(false);
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.empty()) continue;
        json answer;
        try {
            const json req = json::parse(line);
            auto command = kCommands.find(text(req, "cmd"));
            if (command == kCommands.end()) throw BadRequest{"unknown command " + text(req, "cmd")};
            answer = command->second(req);
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
