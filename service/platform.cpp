#include "service/platform.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <unordered_map>

#include "base/clock.h"
#include "base/text.h"
#include "service/claims.h"
#include "service/http_server.h"
#include "service/script.h"
#include "service/tx_json.h"
#include "wallet/encoding.h"
#include "wallet/transaction.h"

namespace dialo::service {
namespace {

using nlohmann::json;

constexpr const char* kListingPath = "/oi/oracle/dialo/txids";
constexpr const char* kTxidRe = "([0-9a-fA-F]{64})";
constexpr const char* kResumeKey = "source_resume";
constexpr const char* kTipKey = "tip_height";

}  // namespace

struct Platform::Impl {
    PlatformOptions options;
    std::unique_ptr<Storage> storage;
    std::unique_ptr<ChainSource> source;
    PlatformCounters counters;
    std::atomic<int64_t> tip{-1};
    bool sourceStarted = false;

    // Push waits, by address: a generation that each arrival for the address moves on, and
    // the condition its waiters sleep on. An entry lives while someone waits on it.
    struct Waiters {
        std::condition_variable cv;
        size_t count = 0;
        uint64_t generation = 0;
    };
    std::mutex hubMutex;
    std::unordered_map<std::string, Waiters> waiters;  // guarded by hubMutex
    size_t waiting = 0;                                // guarded by hubMutex
    bool stopping = false;                             // guarded by hubMutex

    // An empty address: the storage may have missed arrivals (its listener reconnected), so
    // every wait looks again.
    void arrived(const std::string& address) {
        std::lock_guard<std::mutex> lock(hubMutex);
        if (address.empty()) {
            for (auto& [a, w] : waiters) {
                ++w.generation;
                w.cv.notify_all();
            }
            return;
        }
        auto it = waiters.find(address);
        if (it == waiters.end()) return;
        ++it->second.generation;
        it->second.cv.notify_all();
    }

    void raiseTip(int64_t height) {
        int64_t old = tip.load();
        while (height > old && !tip.compare_exchange_weak(old, height)) {
        }
    }

    // Holds the listing until the address's cursor passes `after`, the wait ends or the
    // service stops; `out` holds the listing to answer. False when too many wait already.
    bool waitForArrival(const std::string& address, int64_t after, int seconds, size_t limit, Listing& out) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        Waiters* w = nullptr;
        uint64_t generation = 0;
        {
            std::lock_guard<std::mutex> lock(hubMutex);
            if (stopping) return true;
            if (waiting >= options.maxWaiters) return false;
            w = &waiters[address];
            ++w->count;
            ++waiting;
            generation = w->generation;
        }
        ++counters.pushWaits;
        ++counters.pushWaiting;
        // Registered first, so an arrival between this read and the wait still wakes it.
        bool woken = false;
        Listing fresh;
        if (storage->listing(address, limit, fresh) && fresh.cursor > after) {
            out = std::move(fresh);
        } else {
            std::unique_lock<std::mutex> lock(hubMutex);
            w->cv.wait_until(lock, deadline, [&] { return stopping || w->generation != generation; });
            woken = w->generation != generation;
        }
        {
            std::lock_guard<std::mutex> lock(hubMutex);
            if (--w->count == 0) waiters.erase(address);
            --waiting;
        }
        --counters.pushWaiting;
        if (woken) {
            ++counters.pushWoken;
            if (storage->listing(address, limit, fresh)) out = std::move(fresh);
        }
        return true;
    }

    // The alias of "alias@domain" when the domain is ours.
    bool paymailAlias(const std::string& paymail, std::string& alias) {
        size_t at = paymail.rfind('@');
        if (at == std::string::npos) return false;
        alias = lowerAscii(paymail.substr(0, at));
        return lowerAscii(paymail.substr(at + 1)) == lowerAscii(options.domain);
    }

    void route(httplib::Server& s, const std::string& method, const std::string& pattern, Handler h) {
        Handler wrapped = catching(std::move(h));
        if (method == "GET") s.Get(pattern, wrapped);
        else s.Post(pattern, wrapped);
    }

    void listing(const httplib::Request& req, httplib::Response& res);
    void submit(const httplib::Request& req, httplib::Response& res, Platform& self);
    void addRoutes(httplib::Server& s, Platform& self);
};

void Platform::Impl::listing(const httplib::Request& req, httplib::Response& res) {
    const std::string address = req.get_param_value("address");
    if (!validAddress(address)) return sendJson(res, {{"error", "address must be a P2PKH address"}}, 400);
    int64_t limit = 20;
    if (req.has_param("limit")) {
        if (!readDecimal(req.get_param_value("limit"), 4, limit))
            return sendJson(res, {{"error", "limit must be 1..1000"}}, 400);
        limit = std::clamp<int64_t>(limit, 1, 1000);
    }
    int64_t wait = 0, after = -1;
    if (req.has_param("wait")) {
        if (!readDecimal(req.get_param_value("wait"), 4, wait))
            return sendJson(res, {{"error", "wait must be 0.." + std::to_string(options.maxWaitSeconds)}}, 400);
        wait = std::min<int64_t>(wait, options.maxWaitSeconds);
    }
    if (req.has_param("after") && !readDecimal(req.get_param_value("after"), 18, after))
        return sendJson(res, {{"error", "after must be a cursor from an earlier listing"}}, 400);
    ++counters.listings;
    Listing l;
    if (!storage->listing(address, size_t(limit), l)) return sendJson(res, {{"error", "index unavailable"}}, 503);
    // Answering at once instead would have the phone ask again at once: a busy loop. Refused, it
    // polls for a while and tries to wait again later.
    if (wait > 0 && after >= 0 && l.cursor <= after && !waitForArrival(address, after, int(wait), size_t(limit), l)) {
        res.set_header("Retry-After", "30");
        res.set_header("Connection", "close");
        return sendJson(res, {{"error", "too many waiting listings"}}, 503);
    }
    sendJson(res, {{"txids", l.txids}, {"cursor", std::to_string(l.cursor)}});
}

void Platform::Impl::submit(const httplib::Request& req, httplib::Response& res, Platform& self) {
    json body = json::parse(req.body, nullptr, false);
    if (!body.is_object() || !body.contains("txhex") || !body["txhex"].is_string())
        return sendJson(res, {{"ok", false}, {"error", "body must be {\"txhex\": hex}"}}, 400);
    const Bytes raw = hex_decode(body["txhex"].get<std::string>());
    Relayed r = source->relay(raw);
    if (!r.accepted) return sendJson(res, {{"ok", false}, {"txid", r.txid}, {"error", r.error}}, 400);
    ++counters.relayed;
    // Learnt now, so the sender's own transactions never wait for the source to bring them.
    ChainTx tx;
    tx.txid = r.txid.empty() ? txid_of(raw) : r.txid;
    tx.raw = raw;
    tx.seen = nowUnixMs();
    self.learn(tx);
    // Submitting a transaction the network already holds is not an error for the relay.
    json ok = {{"ok", true}, {"txid", tx.txid}};
    if (!r.error.empty()) ok["note"] = r.error;
    sendJson(res, ok);
}

void Platform::Impl::addRoutes(httplib::Server& s, Platform& self) {
    route(s, "GET", kListingPath, [this](const httplib::Request& req, httplib::Response& res) { listing(req, res); });
    route(s, "GET", "/oi/capabilities", [this](const httplib::Request&, httplib::Response& res) {
        sendJson(res, {{"push",
                        {{"kind", "long-poll"}, {"path", kListingPath}, {"max_wait_seconds", options.maxWaitSeconds}}}});
    });
    route(s, "GET", std::string("/oi/tx/") + kTxidRe, [this](const httplib::Request& req, httplib::Response& res) {
        IndexedTx tx;
        if (!storage->tx(lowerAscii(req.matches[1].str()), tx)) {
            res.status = 404;
            res.set_content("Not Found", "text/plain");
            return;
        }
        TxPlace place;
        place.height = tx.height;
        place.tipHeight = tip.load();
        place.seen = tx.seen / 1000;
        sendJson(res, txJson(tx.raw, tx.txid, place));
    });
    route(s, "POST", "/oi/submit",
          [this, &self](const httplib::Request& req, httplib::Response& res) { submit(req, res, self); });

    route(s, "GET", "/api/bsvalias/address/([^/]+)", [this](const httplib::Request& req, httplib::Response& res) {
        std::string alias;
        PaymailEntry e;
        if (!paymailAlias(req.matches[1], alias) || !storage->lookupAlias(alias, e))
            return sendJson(res, {{"error", "paymail not found"}}, 404);
        sendJson(res, {{"address", e.address}, {"output", addressScriptHex(e.address)}});
    });
    route(s, "GET", "/api/bsvalias/id/([^/]+)", [this](const httplib::Request& req, httplib::Response& res) {
        std::string alias;
        PaymailEntry e;
        if (!paymailAlias(req.matches[1], alias) || !storage->lookupAlias(alias, e))
            return sendJson(res, {{"error", "paymail not found"}}, 404);
        sendJson(res, {{"bsvalias", "1.0"}, {"handle", alias + "@" + options.domain}, {"pubkey", e.pubkey}});
    });
    route(s, "GET", "/api/bsvalias/public-profile/([^/]+)",
          [this](const httplib::Request& req, httplib::Response& res) {
              std::string alias;
              PaymailEntry e;
              if (!paymailAlias(req.matches[1], alias) || !storage->lookupAlias(alias, e))
                  return sendJson(res, {{"error", "paymail not found"}}, 404);
              sendJson(res, {{"name", alias}, {"avatar", e.avatar}});
          });
    route(s, "GET", "/api/paymail/quota/([^/]+)", [this](const httplib::Request& req, httplib::Response& res) {
        std::string pubkey = lowerAscii(req.matches[1].str());
        sendJson(res, {{"pubkey", pubkey}, {"role", storage->hasPubkey(pubkey) ? "user" : "guest"}});
    });
    route(s, "POST", "/api/paymail/claim", [this](const httplib::Request& req, httplib::Response& res) {
        ClaimResult r = takeClaim(*storage, json::parse(req.body, nullptr, false), nowSeconds());
        if (!r.error.empty()) return sendJson(res, {{"error", r.error}}, r.status);
        sendJson(res, {{"ok", true}, {"alias", r.entry.alias}, {"paymail", r.entry.alias + "@" + options.domain}});
    });
    route(s, "GET", "/.well-known/bsvalias", [this](const httplib::Request&, httplib::Response& res) {
        std::string base = "https://" + options.domain + "/api/bsvalias/";
        sendJson(res, {{"bsvalias", "1.0"},
                       {"capabilities",
                        {{"pki", base + "id/{alias}@{domain.tld}"},
                         {"paymentDestination", base + "address/{alias}@{domain.tld}"},
                         {"f12f968c92d6", base + "public-profile/{alias}@{domain.tld}"}}}});
    });
}

Platform::Platform(PlatformOptions options, std::unique_ptr<Storage> storage, std::unique_ptr<ChainSource> source)
    : impl_(std::make_unique<Impl>()) {
    impl_->options = std::move(options);
    impl_->options.maxWaitSeconds = std::max(impl_->options.maxWaitSeconds, 1);
    impl_->storage = std::move(storage);
    impl_->source = std::move(source);
}

Platform::~Platform() { stop(); }

bool Platform::start(std::string& error) {
    Impl& d = *impl_;
    {
        std::lock_guard<std::mutex> lock(d.hubMutex);
        d.stopping = false;
    }
    d.storage->setArrivalHook([&d](const std::string& address) { d.arrived(address); });
    if (!d.storage->open(error)) return false;
    std::string text;
    int64_t height = -1;
    if (d.storage->getValue(kTipKey, text) && readDecimal(text, 18, height)) d.raiseTip(height);
    std::string resume;
    (void)d.storage->getValue(kResumeKey, resume);
    ChainSink sink = [this](const ChainTx& tx) { return learn(tx); };
    ConfirmSink confirmed = [&d](const std::vector<std::string>& txids, int64_t height) {
        if (!txids.empty() && !d.storage->confirm(txids, height)) return false;
        if (height > d.tip.load()) {
            d.raiseTip(height);
            (void)d.storage->setValue(kTipKey, std::to_string(height));
        }
        return true;
    };
    auto save = [&d](const std::string& value) { (void)d.storage->setValue(kResumeKey, value); };
    if (!d.source->start(sink, confirmed, resume, save, error)) {
        d.storage->close();
        return false;
    }
    d.sourceStarted = true;
    return true;
}

void Platform::stop() {
    if (!impl_) return;
    Impl& d = *impl_;
    if (d.sourceStarted) {
        d.source->stop();
        d.sourceStarted = false;
    }
    {
        std::lock_guard<std::mutex> lock(d.hubMutex);
        d.stopping = true;
        for (auto& [address, w] : d.waiters) w.cv.notify_all();
    }
    d.storage->close();
}

void Platform::addRoutes(httplib::Server& server) { impl_->addRoutes(server, *this); }

bool Platform::learn(const ChainTx& tx) {
    Impl& d = *impl_;
    try {
        ParsedTx parsed;
        if (!parse_tx(tx.raw, parsed)) return true;
        if (tx.height > d.tip.load()) d.raiseTip(tx.height);
        std::set<std::string> paid;
        for (const TxOutput& o : parsed.outputs) {
            Hash160 h{};
            if (is_p2pkh_script(o.locking, &h)) paid.insert(address_from_hash(h));
        }
        std::vector<std::string> addresses;
        for (const std::string& a : paid) {
            bool registered = d.options.indexAll;
            if (!registered && !d.storage->isRegisteredAddress(a, registered)) return false;
            if (registered) addresses.push_back(a);
        }
        if (addresses.empty()) return true;
        IndexedTx it;
        it.txid = tx.txid.empty() ? txid_of(tx.raw) : lowerAscii(tx.txid);
        it.raw = tx.raw;
        it.height = tx.height;
        it.seen = tx.seen;
        it.indexed = nowUnixMs();
        bool added = false;
        if (!d.storage->indexTx(it, addresses, added)) return false;
        if (!added) return true;
        ++d.counters.indexed;
        d.counters.lastIndexLagMs = tx.seen > 0 ? std::max<int64_t>(it.indexed - tx.seen, 0) : 0;
        return true;
    } catch (...) {
        // A transaction that cannot be read is one the index does without.
        return true;
    }
}

Storage& Platform::storage() { return *impl_->storage; }
const PlatformCounters& Platform::counters() const { return impl_->counters; }

nlohmann::json Platform::health() {
    Impl& d = *impl_;
    const bool storageUp = d.storage->healthy();
    json source = d.source->health();
    return {{"ok", storageUp}, {"schema", d.storage->schemaVersion()}, {"storage", storageUp ? "ok" : "down"},
            {"source", source}};
}

}  // namespace dialo::service
