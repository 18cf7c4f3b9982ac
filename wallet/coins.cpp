#include "wallet/coins.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "base/clock.h"
#include "base/config.h"
#include "base/text.h"
#include "platform/data_dir.h"
#include "platform/files.h"
#include "wallet/binding.h"
#include "wallet/client_sinks.h"
#include "wallet/encoding.h"
#include "wallet/http.h"
#include "wallet/keys.h"
#include "wallet/published.h"
#include "wallet/transaction.h"
#include "wallet/wallet_file.h"

namespace dialo {
namespace {

using nlohmann::json;

constexpr uint64_t kEmptyPoolAgeMs = 8000;
constexpr uint64_t kFullPoolAgeMs = 30000;
constexpr uint64_t kCacheAgeOnFailureMs = 30000;
constexpr int kUnspentPages = 40;
constexpr int64_t kDeductionWindowMs = 45000;
constexpr int64_t kBigJump = 1000000;    // satoshis
constexpr int64_t kSmallDrift = 8000;    // satoshis
constexpr size_t kWalletKeyChars = 80;
constexpr char kHold[] = "hold: waiting for a confirmed coin";

std::string wocUrl(const std::string& path) { return networkConfig().wocBase + path; }

std::string snapshotPath(const WalletState& w, const char* folder, const char* suffix) {
    return platformDirectory() + "/" + folder + "/" + wallet_key_text(w) + suffix;
}

bool snapshotsAllowed(const WalletState& w) {
    std::string key = wallet_key_text(w);
    return !key.empty() && key != "wallet";
}

json readJsonFile(const std::string& path) {
    std::string text;
    if (!readWholeFile(path, text)) return json();
    json doc = json::parse(text, nullptr, false);
    return doc.is_discarded() ? json() : doc;
}

bool writeCompact(const std::string& path, const json& doc, std::string& error) {
    ensureDirectory(path.substr(0, path.rfind('/')));
    if (writeFileAtomic(path, doc.dump(-1, ' ', false, json::error_handler_t::replace))) return true;
    error = "could not write " + path;
    return false;
}

// An output index as the services send it; anything else is no index at all (never 0).
bool readIndex(const json& object, const char* key, uint32_t& out) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_number_unsigned() || it->get<uint64_t>() > UINT32_MAX) return false;
    out = it->get<uint32_t>();
    return true;
}

std::string percentEncode(const std::string& s) {
    static constexpr char kHexDigits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out.push_back(char(c));
        } else {
            out.push_back('%');
            out.push_back(kHexDigits[c >> 4]);
            out.push_back(kHexDigits[c & 15]);
        }
    }
    return out;
}

bool isHouseOracle(const std::string& address) {
    const auto& all = house_oracle_addresses();
    return std::find(all.begin(), all.end(), address) != all.end();
}

std::vector<std::string> poolAddresses(WalletState& w) REQUIRES(walletMutex()) {
    std::vector<std::string> out;
    for (std::string& a : receive_addresses(w.keys))
        if (!isHouseOracle(a)) out.push_back(std::move(a));
    return out;
}

// Gives a coin the owner of its address; false when the wallet holds no key for it.
bool attachKey(WalletState& w, Coin& c, const std::string& address) REQUIRES(walletMutex()) {
    return find_own_address(w.keys, address, c.owner);
}

bool usable(const WalletState& w, const Coin& c) {
    return c.sats >= kMinCoinSats && !is_spent(w, outpoint_key(c.txid, c.vout));
}

bool selectFrom(const WalletState& w, const std::vector<Coin>& ascending, int64_t need, std::vector<Coin>& sel) {
    sel.clear();
    for (const Coin& c : ascending)
        if (usable(w, c) && c.sats >= need) {
            sel.push_back(c);
            return true;
        }
    int64_t sum = 0;
    for (auto it = ascending.rbegin(); it != ascending.rend() && sum < need && sel.size() < 4; ++it)
        if (usable(w, *it)) {
            sel.push_back(*it);
            sum += it->sats;
        }
    if (sum >= need) return true;
    sel.clear();
    return false;
}

void addUnique(std::vector<Coin>& list, const Coin& c) {
    auto same = [&c](const Coin& o) { return o.vout == c.vout && o.txid == c.txid; };
    if (std::none_of(list.begin(), list.end(), same)) list.push_back(c);
}

void pruneCaches(WalletState& w) {
    auto spent = [&w](const Coin& c) { return is_spent(w, outpoint_key(c.txid, c.vout)); };
    for (auto& [address, entry] : w.coins.byAddress)
        entry.coins.erase(std::remove_if(entry.coins.begin(), entry.coins.end(), spent), entry.coins.end());
    w.coins.change.erase(std::remove_if(w.coins.change.begin(), w.coins.change.end(), spent), w.coins.change.end());
}

int64_t roundedSats(const json& v) {
    if (v.is_number_integer()) return v.get<int64_t>();
    if (v.is_number()) return int64_t(std::llround(v.get<double>()));
    return 0;
}

std::string facePath(const WalletState& w) { return snapshotPath(w, "tx_hist", "_face.json"); }

void writeFace(const WalletState& w, int64_t sats) {
    if (sats < 0 || w.keys.defaultKey.address.empty()) return;
    // The face file only speeds up the first display; a lost write shows "-" once.
    std::string error;
    (void)writeCompact(facePath(w), json{{"sats", sats}, {"address", w.keys.defaultKey.address}}, error);
}

// What one scan thread found for its address.
struct Gathered {
    std::string address;
    std::vector<Coin> coins;
    std::vector<Coin> confirmed;
    std::vector<std::string> spentInMempool;
    bool answered = false;
    bool confirmedAnswered = false;
};

std::mutex gScanStartMutex;
ScanThreadStart gScanStart;  // guarded by gScanStartMutex; empty: std::thread

// What each unconfirmed transaction spends. A transaction never changes, and a phone in calls
// is paid one per event: without this every status refresh would read them all again.
constexpr size_t kSpendsCacheSize = 4096;
std::mutex gSpendsMutex;
std::map<std::string, std::vector<std::string>> gSpends;  // txid (lower case) -> outpoint keys

bool cachedSpends(const std::string& txid, std::vector<std::string>& out) {
    std::lock_guard lock(gSpendsMutex);
    auto it = gSpends.find(lowerAscii(txid));
    if (it == gSpends.end()) return false;
    out = it->second;
    return true;
}

void cacheSpends(const std::string& txid, const std::vector<std::string>& spends) {
    std::lock_guard lock(gSpendsMutex);
    if (gSpends.size() >= kSpendsCacheSize) gSpends.clear();
    gSpends[lowerAscii(txid)] = spends;
}

// `historyLeft` is shared by the scan's threads: a huge or hostile history cannot make one
// scan, and the wallet lock its caller holds, last for minutes.
void gather(Gathered& g, std::atomic<int>& historyLeft) {
    std::string error, body;
    std::vector<Coin> pending;
    g.confirmedAnswered = fetch_unspent(g.address, g.confirmed, error);
    bool b = fetch_get(wocUrl("/address/" + g.address + "/unconfirmed/unspent"), body, error, 10, false) &&
             read_unspent_list(body, pending, error);
    g.answered = g.confirmedAnswered || b;
    for (const Coin& c : g.confirmed) addUnique(g.coins, c);
    for (const Coin& c : pending) addUnique(g.coins, c);
    if (!fetch_get(wocUrl("/address/" + g.address + "/unconfirmed/history"), body, error, 10, false)) return;
    std::vector<std::string> entries;
    if (!read_history_entries(body, entries)) return;
    for (const std::string& txid : entries) {
        if (historyLeft.fetch_sub(1) <= 0) return;
        if (!is_hex64(txid)) continue;
        std::vector<std::string> spends;
        if (!cachedSpends(txid, spends)) {
            if (!fetch_get(wocUrl("/tx/" + txid), body, error, 10, false)) continue;
            if (!read_tx_spends(body, spends)) continue;
            cacheSpends(txid, spends);
        }
        g.spentInMempool.insert(g.spentInMempool.end(), spends.begin(), spends.end());
    }
}

constexpr int64_t kUnseenAfterSeconds = 600;  // when the chain height cannot be read
// The height is read under the wallet lock, in one short try: for marking, on every event
// sent, once in a while (a block found within the window is the one risk, and the window is
// far shorter than a block); for settling, afresh at each refresh that holds doubts.
constexpr uint64_t kHeightReuseMs = 15000;
constexpr int kHeightTimeoutSeconds = 2;
constexpr int kLookupsPerCheck = 3;   // a backlog cannot hold the wallet lock for long
constexpr int kLookupTimeoutSeconds = 3;

}  // namespace

int64_t chain_height(WalletState& w, bool fresh) {
    CoinState& cs = w.coins;
    const uint64_t now = nowMs();
    if (!fresh && cs.heightRead && now - cs.heightReadMs < kHeightReuseMs) return cs.height;
    std::string body, error;
    int64_t height = -1;
    if (get_once(wocUrl("/chain/info"), body, error, kHeightTimeoutSeconds) == 200) {
        json doc = json::parse(body, nullptr, false);
        auto blocks = doc.is_object() ? doc.find("blocks") : doc.end();
        if (blocks != doc.end() && blocks->is_number_integer() && blocks->get<int64_t>() >= 0)
            height = blocks->get<int64_t>();
    }
    cs.height = height;
    cs.heightReadMs = now;
    cs.heightRead = true;
    return height;
}

namespace {

void trimDoubts(CoinState& cs) {
    while (cs.doubts.size() > kMostDoubts) {
        auto oldest = std::min_element(cs.doubts.begin(), cs.doubts.end(), [](const auto& a, const auto& b) {
            return a.second.atSeconds < b.second.atSeconds;
        });
        cs.doubts.erase(oldest);  // stays in `spent`: the safe side
    }
}

// Spent from now on, but only as far as `txid` is believed; an outpoint already spent for good
// stays so, and one doubted for this txid before keeps its first marking.
void doubtInputs(WalletState& w, const std::vector<Coin>& inputs, const std::string& txid, bool sent)
    REQUIRES(walletMutex()) {
    CoinState& cs = w.coins;
    const std::string id = lowerAscii(txid);
    int64_t height = -2;  // not read yet
    for (const Coin& c : inputs) {
        const std::string key = outpoint_key(c.txid, c.vout);
        auto d = cs.doubts.find(key);
        if (d == cs.doubts.end() && cs.spent.count(key) != 0) continue;
        if (d != cs.doubts.end() && d->second.txid == id) {
            d->second.sent = d->second.sent || sent;
            continue;
        }
        if (height == -2) height = chain_height(w);
        cs.spent.insert(key);
        cs.doubts[key] = Doubt{id, nowSeconds(), height, sent, c.owner == Hash160{} ? "" : address_from_hash(c.owner)};
    }
    trimDoubts(cs);
}

void firmUp(CoinState& cs, const std::string& outpoint) {
    cs.spent.insert(outpoint);
    cs.doubts.erase(outpoint);
}

enum class Sighting { Seen, Unseen, Unknown };

Sighting lookUp(const std::string& txid) {
    std::string body, error;
    const long code = get_once(wocUrl("/tx/" + txid), body, error, kLookupTimeoutSeconds);
    if (code == 404) return Sighting::Unseen;
    return code == 200 && body.find("\"txid\"") != std::string::npos ? Sighting::Seen : Sighting::Unknown;
}

// Settles the doubts the chain has moved past against unspent lists just read: `listed` holds
// the outpoints they show unspent, `covered` the addresses whose list answered. A transaction
// kept for a retry of its own keeps its inputs whatever the lists say.
void settleDoubts(WalletState& w, const std::set<std::string>& listed, const std::set<std::string>& covered)
    REQUIRES(walletMutex()) {
    CoinState& cs = w.coins;
    std::set<std::string> retried;
    for (const auto& [key, k] : cs.kept)
        if (!k.inputs.empty()) retried.insert(lowerAscii(k.txid));
    std::map<std::string, std::vector<std::string>> byTxid;
    for (const auto& [outpoint, d] : cs.doubts)
        if (retried.count(d.txid) == 0) byTxid[d.txid].push_back(outpoint);
    if (byTxid.empty()) return;
    // Read afresh: a block just found is what lets a doubt be settled.
    const int64_t height = chain_height(w, true);
    const int64_t now = nowSeconds();
    auto moved = [&](const Doubt& d) {
        return height >= 0 && d.height >= 0 ? height > d.height : now - d.atSeconds >= kUnseenAfterSeconds;
    };
    bool spentChanged = false, changeDropped = false;
    int lookups = kLookupsPerCheck;
    auto release = [&](const std::string& outpoint) {
        cs.spent.erase(outpoint);
        cs.doubts.erase(outpoint);
        spentChanged = true;
    };
    auto firm = [&](const std::string& outpoint) {
        cs.doubts.erase(outpoint);
        spentChanged = true;
    };
    for (const auto& [txid, outpoints] : byTxid) {
        bool allMoved = true, sent = false, anyListed = false, allCovered = true;
        for (const std::string& o : outpoints) {
            const Doubt& d = cs.doubts.at(o);
            allMoved = allMoved && moved(d);
            sent = sent || d.sent;
            anyListed = anyListed || listed.count(o) != 0;
            allCovered = allCovered && covered.count(d.address) != 0;
        }
        if (!allMoved) continue;
        if (!sent) {
            // Whatever spent these, if anything did, a list that answers tells.
            for (const std::string& o : outpoints) {
                if (listed.count(o) != 0) release(o);
                else if (covered.count(cs.doubts.at(o).address) != 0) firm(o);
            }
            continue;
        }
        // Every coin it spends gone: it went out. A coin still unspent says it did not, unless
        // the lists lag; only WhatsOnChain not knowing it gives its coins back.
        Sighting seen = Sighting::Unknown;
        if (!anyListed && allCovered) seen = Sighting::Seen;
        else if (lookups-- > 0) seen = lookUp(txid);
        if (seen == Sighting::Unknown) continue;
        for (const std::string& o : outpoints) seen == Sighting::Seen ? firm(o) : release(o);
        if (seen == Sighting::Seen) continue;
        const std::string& lost = txid;  // clang 14 captures no structured binding
        auto fromIt = [&lost](const Coin& c) { return lowerAscii(c.txid) == lost; };
        load_change_snapshot(w);  // a restart since left the change on disk only
        const size_t before = cs.change.size();
        cs.change.erase(std::remove_if(cs.change.begin(), cs.change.end(), fromIt), cs.change.end());
        changeDropped = changeDropped || cs.change.size() != before;
        for (auto& [address, entry] : cs.byAddress)
            entry.coins.erase(std::remove_if(entry.coins.begin(), entry.coins.end(), fromIt), entry.coins.end());
    }
    std::string error;
    if (spentChanged && !save_spent_snapshot(w, error)) report_unsaved_coins(error);
    if (changeDropped && !save_change_snapshot(w, error)) report_unsaved_coins(error);
}

std::vector<std::string> ownAddresses(WalletState& w) REQUIRES(walletMutex()) {
    std::vector<std::string> out = receive_addresses(w.keys);
    if (!w.keys.identityAddress.empty()) out.push_back(w.keys.identityAddress);
    if (!w.keys.defaultKey.address.empty() &&
        std::find(out.begin(), out.end(), w.keys.defaultKey.address) == out.end())
        out.push_back(w.keys.defaultKey.address);
    return out;
}

}  // namespace

const std::vector<std::string>& house_oracle_addresses() {
    // Operator addresses of the platform's three games (two each): the keys 3 to 8.
    static const std::vector<std::string> all = [] {
        std::vector<std::string> out;
        for (int k = 3; k <= 8; ++k) {
            std::string priv(63, '0'), pub;
            priv.push_back(char('0' + k));
            if (pubkey_from_priv(priv, pub)) out.push_back(address_from_pubkey(pub));
        }
        return out;
    }();
    return all;
}

void reset_spends_cache() {
    std::lock_guard lock(gSpendsMutex);
    gSpends.clear();
}

std::string outpoint_key(const std::string& txid, uint32_t vout) {
    std::string t = txid;
    for (char& c : t) c = char(std::tolower(static_cast<unsigned char>(c)));
    return t + ":" + std::to_string(vout);
}

std::string wallet_key_text(const WalletState& w) {
    std::string key = bound_wallet_id();
    if (key.empty()) key = w.keys.identityAddress;
    if (key.empty()) key = w.keys.defaultKey.address;
    for (char& c : key)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    if (key.empty()) return "wallet";
    return key.substr(0, kWalletKeyChars);
}

bool is_spent(const WalletState& w, const std::string& outpoint) { return w.coins.spent.count(outpoint) != 0; }

bool mark_spent(WalletState& w, const std::string& outpoint, std::string& error) {
    return !w.coins.spent.insert(outpoint).second || save_spent_snapshot(w, error);
}

bool save_pending_broadcast(const WalletState& w, const std::string& txid, const std::vector<Coin>& inputs,
                            std::string& error) {
    if (!snapshotsAllowed(w)) return true;
    json outpoints = json::array();
    for (const Coin& c : inputs) outpoints.push_back(outpoint_key(c.txid, c.vout));
    return writeCompact(snapshotPath(w, "ord_snap", "_pending.json"), json{{"txid", txid}, {"inputs", outpoints}}, error);
}

void clear_pending_broadcast(const WalletState& w) {
    // Not synced: a pending snapshot that comes back only costs the next load one question.
    if (snapshotsAllowed(w)) ::unlink(snapshotPath(w, "ord_snap", "_pending.json").c_str());
}

void settle_pending_broadcast(WalletState& w) {
    if (!snapshotsAllowed(w)) return;
    const std::string path = snapshotPath(w, "ord_snap", "_pending.json");
    if (!pathExists(path)) return;
    json doc = readJsonFile(path);
    auto txid = doc.is_object() ? doc.find("txid") : doc.end();
    auto inputs = doc.is_object() ? doc.find("inputs") : doc.end();
    // Its change is not taken here: the next scan of the addresses finds it.
    if (txid != doc.end() && txid->is_string() && inputs != doc.end() && inputs->is_array() &&
        tx_is_known(txid->get<std::string>())) {
        for (const json& o : *inputs)
            if (o.is_string()) firmUp(w.coins, o.get<std::string>());
        std::string error;
        if (!save_spent_snapshot(w, error)) report_unsaved_coins(error);
        pruneCaches(w);
    }
    clear_pending_broadcast(w);
}

void remove_dead_snapshot_temps() {
    for (const char* folder : {"ord_snap", "tx_hist"}) removeDeadTempFiles(platformDirectory() + "/" + folder);
}

void report_unsaved_coins(const std::string& error) {
    report_text("The wallet's coin records were not saved (" + error + "); a restart may offer spent coins again.\n");
}

// "outpoints" lists every spent outpoint, so that older builds read the file as before;
// "doubted" says which of them are only believed spent. A file without it is all firm.
void load_spent_snapshot(WalletState& w) {
    json doc = readJsonFile(snapshotPath(w, "ord_snap", "_spent.json"));
    if (!doc.is_object() || !doc.contains("outpoints") || !doc["outpoints"].is_array()) return;
    CoinState& cs = w.coins;
    std::set<std::string> added;  // what memory already holds, firm or not, it keeps as it is
    for (const json& o : doc["outpoints"])
        if (o.is_string() && cs.spent.insert(o.get<std::string>()).second) added.insert(o.get<std::string>());
    auto doubted = doc.find("doubted");
    if (doubted == doc.end() || !doubted->is_array()) return;
    auto text = [](const json& e, const char* key) {
        auto it = e.find(key);
        return it != e.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    for (const json& e : *doubted) {
        if (!e.is_object()) continue;
        const std::string outpoint = text(e, "outpoint"), txid = text(e, "txid");
        auto at = e.find("at"), height = e.find("height"), sent = e.find("sent");
        if (added.count(outpoint) == 0 || !is_hex64(txid) || at == e.end() || !at->is_number_integer() ||
            height == e.end() || !height->is_number_integer() || sent == e.end() || !sent->is_boolean())
            continue;
        cs.doubts[outpoint] = Doubt{lowerAscii(txid), at->get<int64_t>(), height->get<int64_t>(), sent->get<bool>(),
                                    text(e, "address")};
    }
    trimDoubts(cs);
}

bool save_spent_snapshot(const WalletState& w, std::string& error) {
    if (!snapshotsAllowed(w)) return true;
    json doubted = json::array();
    for (const auto& [outpoint, d] : w.coins.doubts)
        doubted.push_back({{"outpoint", outpoint}, {"txid", d.txid}, {"at", d.atSeconds}, {"height", d.height},
                           {"sent", d.sent}, {"address", d.address}});
    return writeCompact(snapshotPath(w, "ord_snap", "_spent.json"),
                        json{{"outpoints", w.coins.spent}, {"doubted", doubted}}, error);
}

void load_change_snapshot(WalletState& w) {
    json doc = readJsonFile(snapshotPath(w, "ord_snap", "_change.json"));
    if (!doc.is_object() || !doc.contains("coins") || !doc["coins"].is_array()) return;
    for (const json& e : doc["coins"]) {
        Coin c;
        if (!e.is_object() || !e.contains("txid") || !e["txid"].is_string() || !readIndex(e, "vout", c.vout) ||
            !e.contains("sats") || !e.contains("addr") || !e["addr"].is_string())
            continue;
        c.txid = e["txid"].get<std::string>();
        c.sats = roundedSats(e["sats"]);
        if (!is_hex64(c.txid) || is_spent(w, outpoint_key(c.txid, c.vout))) continue;
        if (!attachKey(w, c, e["addr"].get<std::string>())) continue;
        addUnique(w.coins.change, c);
    }
}

bool save_change_snapshot(const WalletState& w, std::string& error) {
    if (!snapshotsAllowed(w)) return true;
    json coins = json::array();
    for (const Coin& c : w.coins.change) {
        if (!is_hex64(c.txid) || c.sats <= 0 || is_spent(w, outpoint_key(c.txid, c.vout))) continue;
        coins.push_back({{"txid", c.txid}, {"vout", c.vout}, {"sats", c.sats}, {"addr", address_from_hash(c.owner)}});
    }
    return writeCompact(snapshotPath(w, "ord_snap", "_change.json"), json{{"coins", coins}}, error);
}

bool read_unspent_list(const std::string& body, std::vector<Coin>& out, std::string& error) {
    json doc = json::parse(body, nullptr, false);
    const json* list = doc.is_array() ? &doc : (doc.is_object() && doc.contains("result") ? &doc["result"] : nullptr);
    if (list == nullptr || !list->is_array()) {
        error = "bad utxo list";
        return false;
    }
    for (const json& e : *list) {
        if (!e.is_object()) continue;
        if (e.contains("isSpentInMempoolTx") && e["isSpentInMempoolTx"] == true) continue;
        Coin c;
        if (e.contains("tx_hash") && e["tx_hash"].is_string()) c.txid = e["tx_hash"].get<std::string>();
        else if (e.contains("txid") && e["txid"].is_string()) c.txid = e["txid"].get<std::string>();
        if (!readIndex(e, e.contains("tx_pos") ? "tx_pos" : "vout", c.vout)) continue;
        if (e.contains("value")) c.sats = roundedSats(e["value"]);
        if (!is_hex64(c.txid)) continue;
        out.push_back(std::move(c));
    }
    return true;
}

bool read_history_entries(const std::string& body, std::vector<std::string>& txids) {
    txids.clear();
    json hist = json::parse(body, nullptr, false);
    const json* list = hist.is_array() ? &hist : (hist.is_object() && hist.contains("result") ? &hist["result"] : nullptr);
    if (list == nullptr || !list->is_array()) return false;
    for (const json& e : *list) {
        if (!e.is_object()) {
            txids.emplace_back();
            continue;
        }
        txids.push_back(e.contains("tx_hash") && e["tx_hash"].is_string() ? e["tx_hash"].get<std::string>()
                        : e.contains("txid") && e["txid"].is_string()     ? e["txid"].get<std::string>()
                                                                          : "");
    }
    return true;
}

bool read_tx_spends(const std::string& body, std::vector<std::string>& spends) {
    spends.clear();
    json tx = json::parse(body, nullptr, false);
    if (!tx.is_object() || !tx.contains("vin") || !tx["vin"].is_array()) return false;
    uint32_t vout = 0;
    for (const json& in : tx["vin"])
        if (in.is_object() && in.contains("txid") && in["txid"].is_string() && readIndex(in, "vout", vout))
            spends.push_back(outpoint_key(in["txid"].get<std::string>(), vout));
    return true;
}

bool fetch_unspent(const std::string& address, std::vector<Coin>& out, std::string& error) {
    out.clear();
    std::string body, token;
    const std::string base = wocUrl("/address/" + address + "/unspent/all");
    for (int page = 0; page < kUnspentPages; ++page) {
        std::string url = token.empty() ? base : base + "?token=" + percentEncode(token);
        std::vector<Coin> coins;
        if (!fetch_get(url, body, error, 20, false) || !read_unspent_list(body, coins, error)) {
            if (page > 0) return true;
            break;
        }
        out.insert(out.end(), coins.begin(), coins.end());
        json doc = json::parse(body, nullptr, false);
        std::string next = doc.is_object() && doc.contains("nextPageToken") && doc["nextPageToken"].is_string()
                               ? doc["nextPageToken"].get<std::string>()
                               : "";
        if (next.empty() || next == token) return true;
        token = next;
        if (page + 1 == kUnspentPages) return true;
    }
    out.clear();
    return fetch_get(wocUrl("/address/" + address + "/unspent"), body, error, 10, false) &&
           read_unspent_list(body, out, error);
}

void prune_pool(WalletState& w) {
    auto& pool = w.coins.pool;
    pool.erase(std::remove_if(pool.begin(), pool.end(), [&w](const Coin& c) { return !usable(w, c); }), pool.end());
}

bool refresh_pool(WalletState& w, std::string& error, bool force) {
    load_spent_snapshot(w);
    prune_pool(w);
    CoinState& cs = w.coins;
    if (!force && cs.poolRefreshed) {
        uint64_t age = nowMs() - cs.poolRefreshedMs;
        if (age < (cs.pool.empty() ? kEmptyPoolAgeMs : kFullPoolAgeMs)) return true;
    }
    if (!w.keys.hd && w.keys.defaultKey.address.empty()) {
        error = kHold;
        return false;
    }
    std::vector<std::pair<std::string, std::vector<Coin>>> lists;
    std::set<std::string> listed, covered;
    for (const std::string& address : poolAddresses(w)) {
        std::vector<Coin> coins;
        std::string err;
        if (!fetch_unspent(address, coins, err)) continue;
        covered.insert(address);
        for (const Coin& c : coins) listed.insert(outpoint_key(c.txid, c.vout));
        lists.emplace_back(address, std::move(coins));
    }
    if (covered.empty()) {
        prune_pool(w);
        if (!cs.pool.empty()) return true;
        error = kHold;
        return false;
    }
    settleDoubts(w, listed, covered);
    std::vector<Coin> kept;
    for (auto& [address, coins] : lists) {
        Coin keyed;
        if (coins.empty() || !attachKey(w, keyed, address)) continue;
        for (Coin& c : coins) {
            if (c.sats < kMinCoinSats || is_spent(w, outpoint_key(c.txid, c.vout))) continue;
            c.owner = keyed.owner;
            addUnique(kept, c);
        }
    }
    std::stable_sort(kept.begin(), kept.end(), [](const Coin& a, const Coin& b) { return a.sats < b.sats; });
    cs.pool = std::move(kept);
    cs.poolRefreshedMs = nowMs();
    cs.poolRefreshed = true;
    return true;
}

bool select_from_pool(WalletState& w, int64_t need, std::vector<Coin>& selection) {
    prune_pool(w);
    return selectFrom(w, w.coins.pool, need, selection);
}

bool select_many_from_pool(WalletState& w, int64_t need, int64_t rate, std::vector<Coin>& selection) {
    constexpr int64_t kInputBytes = 148;
    constexpr size_t kMostInputs = 500;  // keeps the transaction far below any relay limit
    prune_pool(w);
    selection.clear();
    int64_t sum = 0;
    for (auto it = w.coins.pool.rbegin(); it != w.coins.pool.rend() && selection.size() < kMostInputs; ++it) {
        if (!usable(w, *it)) continue;
        selection.push_back(*it);
        sum += it->sats;
        if (sum >= need + fee_for_size(kInputBytes * int64_t(selection.size() - 1), rate)) return true;
    }
    selection.clear();
    return false;
}

bool select_unconfirmed(WalletState& w, int64_t need, std::vector<Coin>& selection, std::string& error, bool askIndex) {
    std::vector<std::string> addresses = poolAddresses(w);
    auto own = [&addresses](const std::string& a) {
        return std::find(addresses.begin(), addresses.end(), a) != addresses.end();
    };
    std::vector<Coin> candidates;
    for (const Coin& c : w.coins.change)
        if (is_hex64(c.txid) && c.sats >= kMinCoinSats && !is_spent(w, outpoint_key(c.txid, c.vout)) &&
            own(address_from_hash(c.owner)))
            addUnique(candidates, c);
    auto smallestFirst = [](const Coin& a, const Coin& b) { return a.sats < b.sats; };
    // Our own change first: a long call that has used up its confirmed coins spends one a
    // chunk, and asking the index for every address each time made each chunk late.
    std::stable_sort(candidates.begin(), candidates.end(), smallestFirst);
    if (selectFrom(w, candidates, need, selection)) return true;
    error = kHold;
    if (!askIndex) return false;
    for (const std::string& address : addresses) {
        std::string body, err;
        std::vector<Coin> coins;
        if (!fetch_get(wocUrl("/address/" + address + "/unconfirmed/unspent"), body, err, 10, false) ||
            !read_unspent_list(body, coins, err) || coins.empty())
            continue;
        Coin keyed;
        if (!attachKey(w, keyed, address)) continue;
        for (Coin& c : coins) {
            if (c.sats < kMinCoinSats || is_spent(w, outpoint_key(c.txid, c.vout))) continue;
            c.owner = keyed.owner;
            addUnique(candidates, c);
        }
    }
    std::stable_sort(candidates.begin(), candidates.end(), smallestFirst);
    if (selectFrom(w, candidates, need, selection)) return true;
    error = kHold;
    return false;
}

int count_ready_coins() {
    auto g = lockWallet();
    WalletState& w = g.state;
    if (!load_wallet(w)) return 0;
    std::string error;
    (void)refresh_pool(w, error, false);
    int ready = 0, any = 0;
    for (const Coin& c : w.coins.pool) {
        if (!usable(w, c)) continue;
        ++any;
        if (c.sats >= kReadyCoinSats) ++ready;
    }
    return ready > 0 ? ready : (any > 0 ? 1 : 0);
}

bool choose_change_address(WalletState& w, Hash160& out, std::string& error) {
    const std::string& def = w.keys.defaultKey.address;
    if (!decode_p2pkh_address(def, out)) {
        error = "vaultra address decode failed.";
        return false;
    }
    if (!isHouseOracle(def)) return true;
    if (w.keys.hd)
        for (const std::string& a : receive_addresses(w.keys))
            if (!isHouseOracle(a) && decode_p2pkh_address(a, out)) return true;
    error = "change would land on a house oracle.";
    return false;
}

bool record_broadcast(WalletState& w, const std::vector<Coin>& inputs, const std::vector<TxOutput>& outputs,
                      const std::string& txid, bool seen, std::string& error) {
    load_change_snapshot(w);
    if (seen) {
        for (const Coin& c : inputs) firmUp(w.coins, outpoint_key(c.txid, c.vout));
    } else {
        doubtInputs(w, inputs, txid, true);
    }
    bool saved = save_spent_snapshot(w, error);
    pruneCaches(w);
    for (uint32_t i = 0; i < outputs.size(); ++i) {
        Hash160 h{};
        if (!is_p2pkh_script(outputs[i].locking, &h) || !is_own_hash(w.keys, h, nullptr, w.coins.change)) continue;
        Coin c;
        c.txid = txid;
        c.vout = i;
        c.sats = outputs[i].sats;
        const std::string address = address_from_hash(h);
        if (!attachKey(w, c, address)) c.owner = h;
        addUnique(w.coins.change, c);
        AddressCoins& entry = w.coins.byAddress[address];
        addUnique(entry.coins, c);
        entry.updatedMs = nowMs();
        entry.hasCoins = true;
    }
    std::string changeError;
    if (!save_change_snapshot(w, changeError)) {
        if (saved) error = changeError;
        saved = false;
    }
    return saved;
}

bool forget_failed_inputs(WalletState& w, const std::vector<Coin>& inputs, const std::string& txid,
                          std::string& error) {
    doubtInputs(w, inputs, txid, false);
    const bool saved = save_spent_snapshot(w, error);
    pruneCaches(w);
    const uint64_t now = nowMs();
    for (auto& [address, entry] : w.coins.byAddress)
        entry.updatedMs = now > kCacheAgeOnFailureMs ? now - kCacheAgeOnFailureMs : 0;
    return saved;
}

bool tx_is_known(const std::string& txid) {
    if (!is_hex64(txid)) return false;
    std::string body, error;
    if (fetch_get(wocUrl("/tx/" + txid + "/hex"), body, error, 25, false) && body.size() > 20) return true;
    return fetch_get(wocUrl("/tx/" + txid), body, error, 25, false) && body.find("txid") != std::string::npos;
}

void set_scan_thread_start(ScanThreadStart start) {
    std::lock_guard lock(gScanStartMutex);
    gScanStart = std::move(start);
}

bool scan_addresses(WalletState& w, std::string& error) {
    std::vector<std::string> addresses = ownAddresses(w);
    for (const std::string& oracle : house_oracle_addresses()) {
        Hash160 h{};
        if (std::find(addresses.begin(), addresses.end(), oracle) == addresses.end() &&
            find_own_address(w.keys, oracle, h))
            addresses.push_back(oracle);
    }
    ScanThreadStart start;
    {
        std::lock_guard lock(gScanStartMutex);
        start = gScanStart;
    }
    const uint64_t generation = ++w.coins.scanGeneration;
    std::vector<Gathered> results(addresses.size());
    std::atomic<int> historyLeft{kPendingHistoryEntries};
    std::vector<std::thread> threads;
    bool started = true;
    for (size_t i = 0; i < addresses.size() && w.coins.scanGeneration == generation; ++i) {
        results[i].address = addresses[i];
        std::function<void()> job = [&g = results[i], &historyLeft] { gather(g, historyLeft); };
        try {
            threads.push_back(start ? start(std::move(job)) : std::thread(std::move(job)));
        } catch (const std::system_error& e) {
            error = std::string("could not start the address scan: ") + e.what();
            started = false;
            break;
        }
    }
    for (std::thread& t : threads)
        if (t.joinable()) t.join();
    if (!started) return false;

    // Outpoints spent by pending transactions, someone else's included: they only filter
    // this scan's lists and are never remembered as spent, since the pending one may vanish.
    std::set<std::string> pendingSpent;
    for (const Gathered& g : results) pendingSpent.insert(g.spentInMempool.begin(), g.spentInMempool.end());
    std::set<std::string> listed, covered;
    for (const Gathered& g : results) {
        if (!g.confirmedAnswered) continue;
        covered.insert(g.address);
        for (const Coin& c : g.confirmed)
            if (std::string key = outpoint_key(c.txid, c.vout); pendingSpent.count(key) == 0) listed.insert(key);
    }
    if (!covered.empty()) settleDoubts(w, listed, covered);
    bool changeDropped = false;
    for (Gathered& g : results) {
        if (!g.answered) continue;
        Coin keyed;
        bool haveKey = attachKey(w, keyed, g.address);
        AddressCoins& entry = w.coins.byAddress[g.address];
        entry.coins.clear();
        for (Coin& c : g.coins) {
            const std::string key = outpoint_key(c.txid, c.vout);
            if (is_spent(w, key) || pendingSpent.count(key) != 0) continue;
            if (haveKey) {
                c.owner = keyed.owner;
            }
            entry.coins.push_back(c);
        }
        entry.updatedMs = nowMs();
        entry.hasCoins = !entry.coins.empty();
        // Change of this address that the fresh list no longer shows is gone, unless it came
        // with the transaction just received.
        auto gone = [&](const Coin& c) {
            if (address_from_hash(c.owner) != g.address || c.txid == w.coins.lastReceivedTxid) return false;
            if (is_spent(w, outpoint_key(c.txid, c.vout))) return true;
            return std::none_of(entry.coins.begin(), entry.coins.end(),
                                [&c](const Coin& o) { return o.txid == c.txid && o.vout == c.vout; });
        };
        const size_t before = w.coins.change.size();
        w.coins.change.erase(std::remove_if(w.coins.change.begin(), w.coins.change.end(), gone), w.coins.change.end());
        changeDropped = changeDropped || w.coins.change.size() != before;
        w.coins.scanned = true;
    }
    // The scan itself succeeded; a lost write only risks offering gone change after a restart.
    std::string saveError;
    if (changeDropped && !save_change_snapshot(w, saveError)) report_unsaved_coins(saveError);
    return true;
}

std::vector<Coin> general_spend_coins(WalletState& w) {
    std::vector<std::string> own = ownAddresses(w);
    std::vector<Coin> out;
    auto take = [&](const Coin& c) {
        if (c.sats >= kMinCoinSats && is_hex64(c.txid) && !is_spent(w, outpoint_key(c.txid, c.vout)))
            addUnique(out, c);
    };
    for (const Coin& c : w.coins.change) take(c);
    for (const std::string& a : own)
        if (auto it = w.coins.byAddress.find(a); it != w.coins.byAddress.end())
            for (const Coin& c : it->second.coins) take(c);
    if (!out.empty()) return out;

    // Nothing gathered: read the outputs of the last received and the last sent transaction.
    for (const std::string& txid : {w.coins.lastReceivedTxid, w.coins.lastTxid}) {
        if (!is_hex64(txid)) continue;
        std::string body, error;
        if (!fetch_get(wocUrl("/tx/" + txid), body, error, 25, false) &&
            !fetch_get(wocUrl("/tx/" + txid + "/decoded"), body, error, 25, false))
            continue;
        json tx = json::parse(body, nullptr, false);
        if (!tx.is_object() || !tx.contains("vout") || !tx["vout"].is_array()) continue;
        for (const json& o : tx["vout"]) {
            if (!o.is_object()) continue;
            Coin c;
            c.txid = txid;
            if (!readIndex(o, "n", c.vout)) continue;
            if (o.contains("satoshis")) c.sats = roundedSats(o["satoshis"]);
            else if (o.contains("value") && o["value"].is_number())
                c.sats = int64_t(std::llround(o["value"].get<double>() * 100000000.0));
            std::string owner;
            if (o.contains("scriptPubKey") && o["scriptPubKey"].is_object()) {
                const json& spk = o["scriptPubKey"];
                if (spk.contains("addresses") && spk["addresses"].is_array() && !spk["addresses"].empty() &&
                    spk["addresses"][0].is_string())
                    owner = spk["addresses"][0].get<std::string>();
                else if (spk.contains("address") && spk["address"].is_string())
                    owner = spk["address"].get<std::string>();
            }
            if (std::find(own.begin(), own.end(), owner) == own.end() || !attachKey(w, c, owner)) continue;
            take(c);
        }
    }
    return out;
}

int64_t computed_balance(WalletState& w) {
    // The change list alone may still hold a coin spent by a broadcast whose answer was lost
    // (the phone died meanwhile); only a scan of the addresses makes the sum trustworthy.
    if (!w.coins.scanned) return -1;
    std::vector<std::string> own = ownAddresses(w);
    std::set<std::string> seen;
    int64_t sum = 0;
    auto add = [&](const Coin& c) {
        std::string key = outpoint_key(c.txid, c.vout);
        if (is_spent(w, key) || !seen.insert(key).second) return;
        sum += c.sats;
    };
    for (const Coin& c : w.coins.change) add(c);
    for (const std::string& a : own)
        if (auto it = w.coins.byAddress.find(a); it != w.coins.byAddress.end())
            for (const Coin& c : it->second.coins) add(c);
    return sum;
}

int64_t shown_balance(WalletState& w) {
    CoinState& cs = w.coins;
    int64_t c = computed_balance(w);
    if (c < 0) {
        if (cs.shownBalance >= 0) return cs.shownBalance;
        json face = readJsonFile(facePath(w));
        if (face.is_object() && face.contains("address") && face["address"] == w.keys.defaultKey.address &&
            face.contains("sats") && face["sats"].is_number_integer())
            return face["sats"].get<int64_t>();
        return -1;
    }
    int64_t result = c;
    if (cs.shownBalance >= 0 && cs.deducted >= 0 && int64_t(nowMs() - cs.deductedAtMs) < kDeductionWindowMs &&
        c > cs.deducted + kBigJump)
        result = cs.deducted;
    cs.shownBalance = result;
    writeFace(w, result);
    return result;
}

int64_t wallet_balance() {
    auto g = lockWallet();
    WalletState& w = g.state;
    if (!load_wallet(w)) return -1;
    reload_wallet_counts(w);
    return publish_balance(shown_balance(w));
}

int64_t note_spent_balance(WalletState& w, int64_t amount) {
    CoinState& cs = w.coins;
    int64_t c = computed_balance(w);
    if (c < 0) return -1;
    int64_t s = cs.shownBalance;
    int64_t next = c;
    if (s >= 0) {
        if (amount >= 1) {
            cs.deducted = std::max<int64_t>(s - amount, 0);
            cs.deductedAtMs = nowMs();
            if (c < cs.deducted - kSmallDrift || c > s + kSmallDrift) next = cs.deducted;
        } else if (cs.deducted >= 0 && int64_t(nowMs() - cs.deductedAtMs) < kDeductionWindowMs &&
                   c > cs.deducted + kBigJump) {
            next = cs.deducted;
        }
    }
    cs.shownBalance = next;
    writeFace(w, next);
    return next;
}

}  // namespace dialo
