#include "wallet/spends.h"

#include <algorithm>

#include "base/clock.h"
#include "wallet/binding.h"
#include "wallet/broadcast.h"
#include "wallet/client_sinks.h"
#include "wallet/coins.h"
#include "wallet/encoding.h"
#include "wallet/keys.h"
#include "wallet/openssl_handles.h"
#include "wallet/published.h"
#include "wallet/transaction.h"
#include "wallet/wallet_file.h"

namespace dialo {
namespace {

constexpr char kNotConnected[] =
    "error: Vaultra wallet not connected. Create or Restore in Vaultra, then Connect in the app.";
constexpr char kNoWallet[] = "error: no Orvane Vaultra wallet. Use vaultra create first.";
constexpr char kHold[] = "hold: waiting for a confirmed coin";
constexpr int64_t kPayloadFrameBytes = 320;  // the transaction around a payload
constexpr int64_t kPayloadMargin = 20;       // satoshis
constexpr int kSplitAttempts = 3;
constexpr int64_t kSplitRate = 100;
constexpr size_t kKeptSpends = 16;
constexpr int64_t kKeptUnseenSeconds = 600;  // when the chain height cannot be read

// Balance records feed a program that reads them; the application chooses at start-up.
bool reportingBalance() { return balance_records(); }

void reportBalance(WalletState& w, int64_t spent) REQUIRES(walletMutex()) {
    if (!reportingBalance()) return;
    int64_t shown = note_spent_balance(w, spent);
    report_event({"[OV-BALANCE]", std::to_string(shown), bound_wallet_id()});
    if (shown >= 0) publish_balance(shown);
}

// Each input is signed by the key of its owner, derived here and wiped at once; a coin whose
// owner is unknown is the default address's.
bool signAll(WalletState& w, std::vector<Coin>& inputs, const std::vector<TxOutput>& outputs) REQUIRES(walletMutex()) {
    Hash160 fallback{};
    (void)decode_p2pkh_address(w.keys.defaultKey.address, fallback);
    for (Coin& c : inputs) {
        KeyTriple key;
        Hash160 owner = c.owner;
        if (!signing_key_for(w.keys, owner, key)) {
            owner = fallback;
            if (!signing_key_for(w.keys, owner, key)) return false;
        }
        std::string error;
        bool ok = sign_input(c, inputs, outputs, owner, key.priv, key.pub, error);
        wipe_text(key.priv);
        if (!ok) return false;
    }
    return true;
}

std::string afterFailure(WalletState& w, const std::string& result, const std::vector<Coin>& inputs,
                         const std::string& txid) REQUIRES(walletMutex()) {
    std::string error;
    if ((is_conflict_reply(result) || is_missing_inputs_reply(result)) &&
        !forget_failed_inputs(w, inputs, txid, error))
        report_unsaved_coins(error);
    prune_pool(w);
    return result;
}

KeptSpend& keep(WalletState& w, const std::string& key, KeptSpend spend) REQUIRES(walletMutex()) {
    auto& kept = w.coins.kept;
    // One still waiting for its answer goes last: forgetting it could pay its message twice.
    while (kept.size() >= kKeptSpends)
        kept.erase(std::min_element(kept.begin(), kept.end(), [](const auto& a, const auto& b) {
            return std::pair(!a.second.inputs.empty(), a.second.order) < std::pair(!b.second.inputs.empty(), b.second.order);
        }));
    spend.order = ++w.coins.keptOrder;
    spend.height = chain_height(w);
    spend.atSeconds = nowSeconds();
    return kept[key] = std::move(spend);
}

// A kept transaction's answer to one broadcast of it. A failure keeps it, and its coins out
// of every other spend, for the next try: a conflict may well be the transaction itself, not
// yet shown. Once a block has come and WhatsOnChain still does not know it, it never went
// out and will not: the next try builds a new one from other coins.
std::string answerKept(WalletState& w, const std::string& key, KeptSpend& k, const std::string& result)
    REQUIRES(walletMutex()) {
    std::string error;
    const bool taken = result.rfind("success: ", 0) == 0;
    if (!taken && !tx_is_known(k.txid)) {
        if (!forget_failed_inputs(w, k.inputs, k.txid, error)) report_unsaved_coins(error);
        const int64_t height = chain_height(w, true);
        const bool moved = height >= 0 && k.height >= 0 ? height > k.height
                                                        : nowSeconds() - k.atSeconds >= kKeptUnseenSeconds;
        if (moved) w.coins.kept.erase(key);
        prune_pool(w);
        return result;
    }
    if (!taken) {
        w.coins.lastTxid = k.txid;
        if (!record_broadcast(w, k.inputs, k.outputs, k.txid, true, error)) report_unsaved_coins(error);
    }
    k.inputs.clear();
    k.outputs.clear();
    prune_pool(w);
    reportBalance(w, k.cost);
    return "success: " + k.txid + " " + std::to_string(k.cost);
}

// Largest first, so that a payment needs few coins; but the smallest coin that pays alone
// goes in front, so exactly that one is spent and small outputs are never swept up.
void orderForPayment(std::vector<Coin>& coins, const Hash160& dest, const Hash160& change, int64_t sats,
                     const std::string& data) {
    std::stable_sort(coins.begin(), coins.end(), [](const Coin& a, const Coin& b) { return a.sats > b.sats; });
    for (auto it = coins.end(); it != coins.begin();) {
        --it;
        if (it->sats < sats) continue;
        std::vector<Coin> one{*it};
        std::vector<TxOutput> outputs;
        int64_t fee = 0;
        std::string error;
        if (!build_payment_tx(one, dest, change, sats, data, outputs, fee, error)) continue;
        std::rotate(coins.begin(), it, it + 1);
        return;
    }
}

}  // namespace

std::string spend_payload(const std::string& peerAddress, const std::string& payload, int64_t rate,
                          bool allowUnconfirmed, const std::string& secondAddress, const std::string& onceKey) {
    if (!vaultra_connected()) return kNotConnected;
    if (payload.empty()) return "error: empty phone payload.";
    rate = std::clamp<int64_t>(rate, 1, 1000);

    auto g = lockWallet();
    WalletState& w = g.state;
    if (!load_wallet(w)) return kNoWallet;
    if (auto it = onceKey.empty() ? w.coins.kept.end() : w.coins.kept.find(onceKey); it != w.coins.kept.end()) {
        KeptSpend& k = it->second;
        if (k.inputs.empty()) return "success: " + k.txid + " " + std::to_string(k.cost);
        return answerKept(w, onceKey, k, broadcast_tx(w, k.inputs, k.outputs));
    }
    Hash160 peer{}, second{}, change{};
    if (!decode_p2pkh_address(peerAddress, peer)) return "error: phone address decode failed.";
    std::string error;
    if (!choose_change_address(w, change, error)) return "error: " + error;
    const bool twoPayments = !secondAddress.empty() && decode_p2pkh_address(secondAddress, second);

    const int64_t need = 1 + (twoPayments ? 1 : 0) + kPayloadMargin +
                         fee_for_size(int64_t(payload.size()) + kPayloadFrameBytes, rate);
    std::vector<Coin> selection;
    if (!select_from_pool(w, need, selection)) {
        error.clear();
        // A call past its confirmed coins goes on the change its own chunks left: asking the
        // index for the coin list and every address's unconfirmed coins made each chunk late.
        if (allowUnconfirmed) (void)select_unconfirmed(w, need, selection, error, false);
        error.clear();
        if (selection.empty() && refresh_pool(w, error, true) && !select_from_pool(w, need, selection)) error = kHold;
        if (selection.empty() && allowUnconfirmed) (void)select_unconfirmed(w, need, selection, error);
        // A left message can cost more than four split coins hold; holding would wait forever.
        if (selection.empty() && !select_many_from_pool(w, need, rate, selection)) return error.empty() ? kHold : error;
    }

    std::vector<TxOutput> requested{{1, p2pkh_script(peer)}};
    if (twoPayments) requested.push_back({1, p2pkh_script(second)});
    requested.push_back({0, data_output_script(payload)});
    std::vector<TxOutput> outputs;
    int64_t fee = 0;
    if (!build_tx(selection, outputs, change, requested, fee, error, 0, rate)) return "error: " + error;
    if (!signAll(w, selection, outputs)) return "error: signing failed.";
    const int64_t cost = fee + (twoPayments ? 2 : 1);
    if (!onceKey.empty()) {
        KeptSpend& k = keep(w, onceKey, {selection, outputs, txid_of(serialize_tx(selection, outputs, false)), cost});
        return answerKept(w, onceKey, k, broadcast_tx(w, k.inputs, k.outputs));
    }

    std::string txid;
    std::string result = broadcast_tx(w, selection, outputs, &txid);
    if (result.rfind("success: ", 0) != 0) return afterFailure(w, result, selection, txid);
    prune_pool(w);
    reportBalance(w, cost);
    return result + " " + std::to_string(cost);
}

void forget_payload_key(const std::string& onceKey) {
    if (onceKey.empty()) return;
    auto g = lockWallet();
    g.state.coins.kept.erase(onceKey);
}

std::string split_coins(int target) {
    if (!vaultra_connected()) return kNotConnected;
    auto g = lockWallet();
    WalletState& w = g.state;
    if (!load_wallet(w)) return kNoWallet;
    std::string error;
    if (!refresh_pool(w, error, true)) return error.empty() ? kHold : error;

    int count = 0;
    const Coin* largest = nullptr;
    for (const Coin& c : w.coins.pool) {
        if (c.sats < kReadyCoinSats || is_spent(w, outpoint_key(c.txid, c.vout))) continue;
        ++count;
        if (!largest || c.sats > largest->sats) largest = &c;
    }
    if (!largest) return kHold;
    if (count >= target) return "ready";
    int64_t pieces = target + 1 - count;
    if (pieces < 8) return "ready";
    Hash160 change{};
    if (!choose_change_address(w, change, error)) return "error: " + error;
    const Coin source = *largest;

    std::vector<Coin> inputs;
    std::vector<TxOutput> outputs;
    int64_t fee = 0;
    bool built = false;
    for (int attempt = 0; attempt < kSplitAttempts && !built; ++attempt) {
        int64_t planFee = fee_for_size(40 * pieces + 220, kSplitRate);
        int64_t avail = source.sats - planFee - 50;
        if (avail < 800 || avail / kReadyCoinSats < 4) return "ready";
        int64_t n = std::min(avail / kReadyCoinSats, pieces);
        int64_t piece = avail / n;
        std::vector<TxOutput> requested(size_t(n - 1), TxOutput{piece, p2pkh_script(change)});
        inputs = {source};
        built = build_tx(inputs, outputs, change, requested, fee, error, 1, kSplitRate);
        if (built) break;
        pieces = 2 * n / 3;
        if (pieces < 4 || attempt + 1 == kSplitAttempts)
            return "error: " + (error.empty() ? std::string("could not split a coin") : error);
    }
    if (!signAll(w, inputs, outputs)) return "error: signing failed.";
    std::string txid;
    std::string result = broadcast_tx(w, inputs, outputs, &txid);
    if (result.rfind("success: ", 0) != 0) return afterFailure(w, result, inputs, txid);
    prune_pool(w);
    w.coins.poolRefreshedMs = nowMs();
    w.coins.poolRefreshed = true;
    reportBalance(w, fee);
    return result;
}

std::string spend_to_address(const std::string& address, int64_t sats, const std::string& data, int64_t* cost) {
    auto g = lockWallet();
    WalletState& w = g.state;
    if (!load_wallet(w)) return kNoWallet;
    if (sats < 1) return "error: amount must be positive.";
    Hash160 dest{}, change{};
    if (!decode_p2pkh_address(address, dest)) return "error: destination is not a legacy P2PKH address.";
    std::string error;
    if (!choose_change_address(w, change, error)) return "error: " + error;

    std::string earlierTxid;
    int64_t earlierFee = 0;
    std::vector<Coin> earlierInputs;
    std::vector<TxOutput> earlierOutputs;
    auto knownEarlier = [&]() REQUIRES(walletMutex()) -> std::string {
        if (earlierTxid.empty() || !tx_is_known(earlierTxid)) return {};
        w.coins.lastTxid = earlierTxid;
        std::string saveError;
        if (!record_broadcast(w, earlierInputs, earlierOutputs, earlierTxid, true, saveError))
            report_unsaved_coins(saveError);
        if (cost) *cost = sats + earlierFee;
        return "success: " + earlierTxid;
    };
    bool agedOnce = false;
    for (int attempt = 0; attempt < 3; ++attempt) {
        // The address scan runs without the lock; the wallet must be the same one afterwards.
        const std::string before = wallet_key_text(w);
        if (!scan_addresses(w, error)) return "error: " + error;
        if (!w.loaded) return "error: no wallet";
        if (wallet_key_text(w) != before) return "error: wallet changed.";

        std::vector<Coin> coins = general_spend_coins(w);
        if (coins.empty()) {
            if (std::string r = knownEarlier(); !r.empty()) return r;
            if (agedOnce) return "error: you have 0 in your Vaultra wallet.";
            agedOnce = true;
            for (auto& [a, entry] : w.coins.byAddress) entry.updatedMs = 0;
            continue;
        }
        orderForPayment(coins, dest, change, sats, data);
        std::vector<TxOutput> outputs;
        int64_t fee = 0;
        if (!build_payment_tx(coins, dest, change, sats, data, outputs, fee, error)) {
            if (std::string r = knownEarlier(); !r.empty()) return r;
            if (attempt == 2) return "error: " + error;
            continue;
        }
        if (!signAll(w, coins, outputs)) return "error: signing failed.";
        std::string txid;
        std::string result = broadcast_tx(w, coins, outputs, &txid);
        if (result.rfind("success: ", 0) == 0) {
            if (reportingBalance()) report_event({"[OV-SPEND]", std::to_string(sats)});
            reportBalance(w, sats + fee);
            if (cost) *cost = sats + fee;
            return result;
        }
        earlierTxid = txid;
        earlierFee = fee;
        earlierInputs = coins;
        earlierOutputs = outputs;
        if (std::string r = knownEarlier(); !r.empty()) return r;
        if (!is_conflict_reply(result) && !is_missing_inputs_reply(result)) return result;
        if (!forget_failed_inputs(w, coins, txid, error)) report_unsaved_coins(error);
    }
    if (std::string r = knownEarlier(); !r.empty()) return r;
    return "error: broadcast failed after retry.";
}

}  // namespace dialo
