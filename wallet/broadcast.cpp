#include "wallet/broadcast.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "base/clock.h"
#include "base/config.h"
#include "base/text.h"
#include "wallet/client_sinks.h"
#include "wallet/coins.h"
#include "wallet/encoding.h"
#include "wallet/http.h"
#include "wallet/transaction.h"

namespace dialo {
namespace {

using nlohmann::json;

constexpr int kConfirmChecks = 8;
constexpr uint32_t kConfirmGapMs = 700;

// `seen`: WhatsOnChain shows the transaction. Any other claim is believed until the chain
// moves on without it.
std::string success(WalletState& w, const std::string& txid, const std::vector<Coin>& inputs,
                    const std::vector<TxOutput>& outputs, bool seen) REQUIRES(walletMutex()) {
    w.coins.lastTxid = txid;
    // The transaction is out whatever the disk says; the lost records are only mentioned.
    std::string error;
    if (!record_broadcast(w, inputs, outputs, txid, seen, error)) report_unsaved_coins(error);
    return "success: " + txid;
}

// A node's answer that this very transaction is already in its mempool or chain: taken as
// sent, though any service may say so of a transaction it never had.
bool alreadyHeld(const std::string& reply) {
    const std::string lower = lowerAscii(reply);
    return lower.find("txn-already-known") != std::string::npos ||
           lower.find("txn-already-in-mempool") != std::string::npos;
}

// The oracle takes a transaction unless its reply is an object saying "ok": false.
bool oracleAccepted(const std::string& reply) {
    json doc = json::parse(reply, nullptr, false);
    if (!doc.is_object()) return true;
    auto ok = doc.find("ok");
    return ok == doc.end() || !ok->is_boolean() || ok->get<bool>();
}

// The txid in a WhatsOnChain broadcast reply: bare, quoted, a JSON string or {"txid": ...};
// the local txid when the reply names none.
std::string wocTxid(const std::string& body, const std::string& localTxid) {
    std::string t = body;
    size_t a = t.find_first_not_of("\" \n");
    t = a == std::string::npos ? std::string() : t.substr(a);
    while (!t.empty() && (t.back() == '"' || t.back() == ' ' || t.back() == '\n' || t.back() == '\r')) t.pop_back();
    if (t.size() != 64) {
        json doc = json::parse(body, nullptr, false);
        if (doc.is_string()) t = doc.get<std::string>();
        else if (doc.is_object() && doc.contains("txid") && doc["txid"].is_string()) t = doc["txid"].get<std::string>();
    }
    return is_hex64(t) ? t : localTxid;
}

}  // namespace

bool is_conflict_reply(const std::string& text) {
    const std::string lower = lowerAscii(text);
    for (const char* s : {"mempool-conflict", "double_spend", "double spend", "seen_in_orphan", "txn-already-in-mempool",
                          "txn-already-known"})
        if (lower.find(s) != std::string::npos) return true;
    return false;
}

bool is_missing_inputs_reply(const std::string& text) {
    for (const char* s : {"Missing inputs", "missing inputs", "missingorspent"})
        if (text.find(s) != std::string::npos) return true;
    return false;
}

bool arc_broadcast(const std::string& rawHex, const std::string& txid, std::string& error) {
    std::string reply;
    if (!post_json(networkConfig().arcBase + "/v1/tx", json{{"rawTx", rawHex}}.dump(), reply, error, 60, 2))
        return false;
    json doc = json::parse(reply, nullptr, false);
    if (!doc.is_object()) {
        error = reply.empty() ? "bad arc response" : reply;
        return false;
    }
    auto text = [&doc](const char* key) {
        return doc.contains(key) && doc[key].is_string() ? doc[key].get<std::string>() : std::string();
    };
    const std::string status = text("txStatus"), extra = text("extraInfo");
    if (status == "REJECTED" || status == "DOUBLE_SPEND_ATTEMPTED" || status == "SEEN_IN_ORPHAN_MEMPOOL") {
        error = status + (!extra.empty() && extra != status ? ": " + extra : "");
        return false;
    }
    if (is_missing_inputs_reply(extra)) {
        error = extra;
        return false;
    }
    std::string id = text("txid");
    if (!is_hex64(id)) id = txid;
    if (!is_hex64(id)) {
        error = "arc did not return a txid";
        return false;
    }
    static const char* kGood[] = {"RECEIVED", "STORED", "ANNOUNCED_TO_NETWORK", "REQUESTED_BY_NETWORK",
                                  "SENT_TO_NETWORK", "ACCEPTED_BY_NETWORK", "SEEN_ON_NETWORK", "MINED", "CONFIRMED"};
    if (std::find(std::begin(kGood), std::end(kGood), status) != std::end(kGood)) return true;
    error = !extra.empty() ? extra : !status.empty() ? status : "broadcast did not confirm";
    return false;
}

std::string confirm_broadcast(WalletState& w, const std::string& txid, const std::vector<Coin>& inputs,
                              const std::vector<TxOutput>& outputs) {
    if (!is_hex64(txid)) return {};
    for (int check = 0; check < kConfirmChecks; ++check) {
        if (check > 0) sleepMs(kConfirmGapMs);
        if (tx_is_known(txid)) return success(w, txid, inputs, outputs, true);
    }
    return {};
}

std::string broadcast_tx(WalletState& w, const std::vector<Coin>& inputs, const std::vector<TxOutput>& outputs,
                         std::string* txidOut) {
    Bytes raw = serialize_tx(inputs, outputs, false);
    if (raw.empty()) return "error: serialize failed.";
    const std::string txid = txid_of(raw), hex = hex_encode(raw);
    if (txidOut) *txidOut = txid;
    const std::string body = json{{"txhex", hex}}.dump();
    // Killed between sending and recording, the phone would offer these inputs again.
    std::string pendingError;
    if (!save_pending_broadcast(w, txid, inputs, pendingError)) report_unsaved_coins(pendingError);
    struct ClearPending {
        const WalletState& w;
        ~ClearPending() { clear_pending_broadcast(w); }
    } clearPending{w};

    std::string reply, error;
    if (post_json_shared(service_url("/oi/submit"), body, reply, error) && oracleAccepted(reply))
        return success(w, txid, inputs, outputs, false);

    if (alreadyHeld(reply) || alreadyHeld(error)) return success(w, txid, inputs, outputs, false);

    std::string wocError;
    bool wocAccepted = post_json(networkConfig().wocBase + "/tx/raw", body, reply, wocError, 60, 2);
    if (wocAccepted) {
        // Another txid would confirm, and record, a transaction that is not this one.
        if (const std::string named = wocTxid(reply, txid); named != txid) {
            wocAccepted = false;
            wocError = "WhatsOnChain answered another txid " + named;
        } else if (std::string r = confirm_broadcast(w, txid, inputs, outputs); !r.empty()) {
            return r;
        }
    } else if (alreadyHeld(wocError)) {
        return success(w, txid, inputs, outputs, false);
    } else if (wocError.find("mempool-conflict") != std::string::npos ||
               wocError.find("txn-already") != std::string::npos ||
               wocError.find("already have") != std::string::npos) {
        if (std::string r = confirm_broadcast(w, txid, inputs, outputs); !r.empty()) return r;
    }

    std::string arcError;
    if (arc_broadcast(hex, txid, arcError)) {
        if (std::string r = confirm_broadcast(w, txid, inputs, outputs); !r.empty()) return r;
    } else if (alreadyHeld(arcError)) {
        return success(w, txid, inputs, outputs, false);
    }
    if (!wocAccepted) return "error: broadcast failed: " + (!arcError.empty() ? arcError : wocError);
    if (!arcError.empty()) return "error: broadcast failed: " + arcError;
    return "error: the network did not take that transaction. Nothing was sent.";
}

}  // namespace dialo
