// The devnet as a chain source: its feed lists every transaction it accepted after a sequence
// number and the blocks mined above a height, holding the request open until there is news.

#include <algorithm>
#include <charconv>
#include <chrono>
#include <mutex>

#include "base/json_fields.h"
#include "service/chain_sources.h"
#include "service/ops.h"
#include "service/following_source.h"
#include "service/source_http.h"

namespace dialo::service {

namespace {

using nlohmann::json;

constexpr auto kFirstBackoff = std::chrono::milliseconds(200);
constexpr auto kLastBackoff = std::chrono::seconds(5);
constexpr int kFeedLimit = 500;  // transactions an answer may hold

bool parseInt(std::string_view text, int64_t& out) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

class DevnetFeedSource final : public FollowingSource {
public:
    explicit DevnetFeedSource(DevnetFeedOptions o) : options_(std::move(o)) {
        while (!options_.url.empty() && options_.url.back() == '/') options_.url.pop_back();
    }
    ~DevnetFeedSource() override { stop(); }

    bool start(ChainSink sink, ConfirmSink confirmed, std::string resume,
               std::function<void(const std::string&)> saveResume, std::string& error) override {
        if (running()) {
            error = "the devnet feed is running already";
            return false;
        }
        int64_t seq = 0, height = 0;
        if (!resume.empty()) {
            const size_t colon = resume.find(':');
            if (colon == std::string::npos || !parseInt(std::string_view(resume).substr(0, colon), seq) ||
                !parseInt(std::string_view(resume).substr(colon + 1), height)) {
                // A value this source did not write: following from the start again is safe,
                // since the index takes a transaction twice as once.
                seq = 0;
                height = 0;
            }
        }
        {
            std::lock_guard lock(mutex_);
            seq_ = seq;
            height_ = height;
        }
        startFollowing([this, sink = std::move(sink), confirmed = std::move(confirmed),
                        save = std::move(saveResume)] { follow(sink, confirmed, save); },
                       "the devnet feed stopped on an unexpected failure");
        return true;
    }

    Relayed relay(const Bytes& raw) override {
        Relayed out;
        SourceRequest r;
        r.method = "POST";
        r.url = options_.url + "/arc/v1/tx";
        r.body = json{{"rawTx", hex_encode(raw)}}.dump();
        r.caFile = options_.caFile;
        SourceReply a = sourceHttp(r);
        if (a.status < 0) {
            out.error = "the devnet cannot be reached: " + a.error;
            return out;
        }
        json doc = json::parse(a.body, nullptr, false);
        const std::string status = string_field(doc, "txStatus");
        out.txid = string_field(doc, "txid");
        if (a.status == 200 && (status == "SEEN_ON_NETWORK" || status == "MINED")) {
            out.accepted = true;
            return out;
        }
        out.error = string_field(doc, "extraInfo");
        if (out.error.empty()) out.error = string_field(doc, "detail");
        if (out.error.empty()) out.error = status.empty() ? "HTTP " + std::to_string(a.status) : status;
        return out;
    }

    json health() override {
        std::lock_guard lock(mutex_);
        json h = linkHealth("devnet");
        h["cursor"] = seq_;
        h["height"] = height_;
        return h;
    }

private:
    void follow(const ChainSink& sink, const ConfirmSink& confirmed, const std::function<void(const std::string&)>& save) {
        auto backoff = std::chrono::milliseconds(kFirstBackoff);
        while (!stopping()) {
            int64_t seq, height;
            {
                std::lock_guard lock(mutex_);
                seq = seq_;
                height = height_;
            }
            SourceRequest r;
            r.url = options_.url + "/devnet/feed?after=" + std::to_string(seq) + "&height=" + std::to_string(height) +
                    "&wait=" + std::to_string(options_.waitSeconds) + "&limit=" + std::to_string(kFeedLimit);
            r.caFile = options_.caFile;
            r.timeoutMs = (options_.waitSeconds + 15) * 1000L;
            r.cancel = stopFlag();
            SourceReply a = sourceHttp(r, &feedConnection_);
            if (stopping()) break;
            std::string problem;
            if (!take(a, sink, confirmed, save, problem)) {
                {
                    std::unique_lock lock(mutex_);
                    connected_ = false;
                    lastError_ = problem;
                    pause(lock, backoff);
                }
                backoff = std::min<std::chrono::milliseconds>(backoff * 2, kLastBackoff);
                continue;
            }
            backoff = kFirstBackoff;
        }
    }

    // Hands one answer's transactions and blocks on; false with the reason when it is no answer.
    bool take(const SourceReply& a, const ChainSink& sink, const ConfirmSink& confirmed,
              const std::function<void(const std::string&)>& save, std::string& problem) {
        if (a.status < 0) {
            problem = a.error;
            return false;
        }
        if (a.status != 200) {
            problem = "the feed answered HTTP " + std::to_string(a.status);
            return false;
        }
        json doc = json::parse(a.body, nullptr, false);
        if (!doc.is_object() || !doc.contains("cursor") || !doc["cursor"].is_number_integer() ||
            !doc.contains("height") || !doc["height"].is_number_integer()) {
            problem = "the feed's answer is not {\"txs\", \"cursor\", \"blocks\", \"height\"}";
            return false;
        }
        {
            std::lock_guard lock(mutex_);
            connected_ = true;
            lastError_.clear();
        }
        if (doc.contains("txs") && doc["txs"].is_array()) {
            for (const json& t : doc["txs"]) {
                const int64_t at = int_field(t, "seq");
                ChainTx tx;
                tx.txid = string_field(t, "txid");
                tx.raw = hex_decode(string_field(t, "hex"));
                if (!is_hex64(tx.txid) || tx.raw.empty()) continue;
                tx.height = t.contains("height") && t["height"].is_number_integer() ? t["height"].get<int64_t>() : -1;
                tx.seen = int_field(t, "seen_ms");
                if (sink && !sink(tx)) {
                    // Asked again from the one the index could not take.
                    problem = "the index could not take transaction " + tx.txid;
                    std::string resume;
                    {
                        std::lock_guard lock(mutex_);
                        resume = std::to_string(seq_) + ":" + std::to_string(height_);
                    }
                    if (save) save(resume);
                    return false;
                }
                std::lock_guard lock(mutex_);
                lastSeenMs_ = unixMs();
                seq_ = std::max(seq_, at);
            }
        }
        const int64_t seq = doc["cursor"].get<int64_t>();
        int64_t height = doc["height"].get<int64_t>();
        if (doc.contains("blocks") && doc["blocks"].is_array()) {
            int64_t before;
            {
                std::lock_guard lock(mutex_);
                before = height_;
            }
            for (const json& b : doc["blocks"]) {
                if (!b.is_object() || !b.contains("txids") || !b["txids"].is_array()) continue;
                std::vector<std::string> txids;
                for (const json& id : b["txids"])
                    if (id.is_string() && is_hex64(id.get_ref<const std::string&>())) txids.push_back(id.get<std::string>());
                const int64_t at = int_field(b, "height");
                if (confirmed && !confirmed(txids, at)) {
                    // The transactions are taken; the blocks from this one on are asked for again.
                    problem = "the index could not record block " + std::to_string(at);
                    {
                        std::lock_guard lock(mutex_);
                        seq_ = seq;
                        height_ = before;
                    }
                    if (save) save(std::to_string(seq) + ":" + std::to_string(before));
                    return false;
                }
                before = std::max(before, at);
            }
        }
        {
            std::lock_guard lock(mutex_);
            seq_ = seq;
            height_ = height;
        }
        if (save) save(std::to_string(seq) + ":" + std::to_string(height));
        return true;
    }

    DevnetFeedOptions options_;
    CurlEasy feedConnection_;  // the follow thread's only: one kept connection to the feed
    int64_t seq_ = 0, height_ = 0;  // guarded by mutex_
};

}  // namespace

std::unique_ptr<ChainSource> makeDevnetFeedSource(DevnetFeedOptions options) {
    return std::make_unique<DevnetFeedSource>(std::move(options));
}

}  // namespace dialo::service
