// A BSV node as the chain source: its mempool and blocks polled over JSON-RPC with basic auth.
// The RPC password is read from its file for each round of calls and wiped after it, so it
// sits in memory only while it is used (and an operator may change it without a restart).

#include <openssl/crypto.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <mutex>

#include "base/json_fields.h"
#include "base/recent_set.h"
#include "platform/files.h"
#include "service/chain_sources.h"
#include "service/ops.h"
#include "service/following_source.h"
#include "service/source_http.h"
#include "wallet/transaction.h"

namespace dialo::service {

namespace {

using nlohmann::json;

constexpr size_t kFetchesPerRound = 5000;       // mempool transactions fetched in one round
constexpr size_t kMissedFetchesPerBlock = 2000;  // a block's transactions not seen in the mempool
constexpr int kBlocksPerRound = 10;
constexpr size_t kMaxBlockAnswer = 512u << 20;  // bytes: a block's txid list, 65 bytes each

// "user:password" for one round of calls, wiped when it goes.
class Credentials {
public:
    Credentials() = default;
    Credentials(const Credentials&) = delete;
    Credentials& operator=(const Credentials&) = delete;
    ~Credentials() { OPENSSL_cleanse(text_.data(), text_.size()); }
    std::string& text() { return text_; }

private:
    std::string text_;
};

struct RpcResult {
    bool ok = false;
    bool reached = false;  // the node answered (even with an error)
    bool refused = false;  // the node refused the credentials
    json result;
    int64_t code = 0;      // the RPC error's code
    std::string error;
};

class NodeSource final : public FollowingSource {
public:
    explicit NodeSource(NodeSourceOptions o) : options_(std::move(o)), seen_(options_.seenBound) {}
    ~NodeSource() override { stop(); }

    bool start(ChainSink sink, ConfirmSink confirmed, std::string resume,
               std::function<void(const std::string&)> saveResume, std::string& error) override {
        if (running()) {
            error = "the node source is running already";
            return false;
        }
        int64_t h = -1;
        if (!resume.empty()) {
            auto [end, ec] = std::from_chars(resume.data(), resume.data() + resume.size(), h);
            if (ec != std::errc() || end != resume.data() + resume.size() || h < 0) h = -1;
        }
        nextHeight_ = h >= 0 ? h + 1 : -1;
        // A wrong user or password, or a missing password file, will not mend by itself: say so
        // now. A node not up yet is waited for.
        Credentials creds;
        if (!readCredentials(creds, error)) return false;
        RpcResult r = call(creds, "getblockcount", json::array());
        if (r.refused) {
            error = r.error;
            return false;
        }
        record(r);
        startFollowing([this, sink = std::move(sink), confirmed = std::move(confirmed),
                        save = std::move(saveResume)] { follow(sink, confirmed, save); },
                       "the node source stopped on an unexpected failure");
        return true;
    }

    Relayed relay(const Bytes& raw) override {
        Relayed out;
        out.txid = txid_of(raw);
        Credentials creds;
        if (!readCredentials(creds, out.error)) return out;
        RpcResult r = call(creds, "sendrawtransaction", json::array({hex_encode(raw)}), false);
        if (r.ok) {
            out.accepted = true;
            if (r.result.is_string()) out.txid = r.result.get<std::string>();
            return out;
        }
        // -27: already in a block; a node holding it in its mempool says "already known".
        if (r.code == -27 || r.error.find("already known") != std::string::npos ||
            r.error.find("already-known") != std::string::npos) {
            out.accepted = true;
            return out;
        }
        out.error = r.error;
        return out;
    }

    json health() override {
        std::lock_guard lock(mutex_);
        json h = linkHealth("node");
        h["height"] = std::max<int64_t>(nextHeight_ - 1, -1);
        return h;
    }

private:
    bool readCredentials(Credentials& creds, std::string& error) {
        std::string file;
        if (!readWholeFile(options_.rpcPasswordFile, file)) {
            error = "cannot read chain.rpc_password_file " + options_.rpcPasswordFile;
            return false;
        }
        size_t n = file.find_first_of("\r\n");
        if (n == std::string::npos) n = file.size();
        std::string& t = creds.text();
        t.reserve(options_.rpcUser.size() + 1 + n);  // no reallocation leaves a copy behind
        t.append(options_.rpcUser).append(1, ':').append(file, 0, n);
        OPENSSL_cleanse(file.data(), file.size());
        if (n == 0) {
            error = "chain.rpc_password_file " + options_.rpcPasswordFile + " is empty";
            return false;
        }
        return true;
    }

    // Calls of the follow thread end at once when the source stops; the relay's run to the end.
    RpcResult call(Credentials& creds, const char* method, const json& params, bool following = true,
                   size_t cap = 64u << 20) {
        RpcResult out;
        SourceRequest r;
        r.method = "POST";
        r.url = options_.rpcUrl;
        r.body = json{{"jsonrpc", "1.0"}, {"id", ++callId_}, {"method", method}, {"params", params}}.dump();
        r.caFile = options_.caFile;
        r.userPassword = &creds.text();
        r.timeoutMs = 30000;
        r.bodyCap = cap;
        r.cancel = following ? stopFlag() : nullptr;
        SourceReply a = sourceHttp(r, following ? &followConnection_ : nullptr);
        const std::string where = std::string(method) + " at " + options_.rpcUrl;
        if (a.tooLarge) {
            out.reached = true;
            out.error = where + " answered more than " + std::to_string(cap) + " bytes";
            return out;
        }
        if (a.status < 0) {
            out.error = "the node cannot be reached (" + where + "): " + a.error;
            return out;
        }
        out.reached = true;
        if (a.status == 401) {
            out.refused = true;
            out.error = "the node refused chain.rpc_user " + options_.rpcUser +
                        " or its password (HTTP 401); check rpcuser/rpcpassword in the node's configuration";
            return out;
        }
        if (a.status == 403) {
            out.refused = true;
            out.error = "the node refused this machine (HTTP 403); check rpcallowip in the node's configuration";
            return out;
        }
        // The node answers RPC errors with HTTP 500 (404 for an unknown method) and the error in the body.
        json doc = json::parse(a.body, nullptr, false);
        if (!doc.is_object()) {
            out.error = where + " answered HTTP " + std::to_string(a.status) + " without JSON";
            return out;
        }
        if (doc.contains("error") && doc["error"].is_object()) {
            out.code = int_field(doc["error"], "code");
            out.error = string_field(doc["error"], "message");
            if (out.error.empty()) out.error = where + " failed with code " + std::to_string(out.code);
            return out;
        }
        if (a.status != 200 || !doc.contains("result")) {
            out.error = where + " answered HTTP " + std::to_string(a.status);
            return out;
        }
        out.ok = true;
        out.result = std::move(doc["result"]);
        return out;
    }

    void record(const RpcResult& r) {
        std::lock_guard lock(mutex_);
        connected_ = r.ok;
        if (r.ok) lastError_.clear();
        else lastError_ = r.error;
    }

    void follow(const ChainSink& sink, const ConfirmSink& confirmed, const std::function<void(const std::string&)>& save) {
        while (!stopping()) {
            round(sink, confirmed, save);
            std::unique_lock lock(mutex_);
            pause(lock, std::chrono::milliseconds(options_.pollMs));
        }
    }

    // Fetches one transaction and hands it on; false when the node had no such transaction.
    bool fetch(Credentials& creds, const std::string& txid, int64_t height, const ChainSink& sink) {
        RpcResult t = call(creds, "getrawtransaction", json::array({txid, 0}));
        if (!t.ok || !t.result.is_string()) return false;
        ChainTx tx;
        tx.txid = txid;
        tx.raw = hex_decode(t.result.get<std::string>());
        tx.height = height;
        tx.seen = unixMs();
        if (tx.raw.empty()) return false;
        if (sink && !sink(tx)) {
            indexFailed_ = true;
            return false;
        }
        std::lock_guard lock(mutex_);
        lastSeenMs_ = tx.seen;
        return true;
    }

    void round(const ChainSink& sink, const ConfirmSink& confirmed, const std::function<void(const std::string&)>& save) {
        Credentials creds;
        std::string error;
        if (!readCredentials(creds, error)) {
            std::lock_guard lock(mutex_);
            connected_ = false;
            lastError_ = error;
            return;
        }
        RpcResult pool = call(creds, "getrawmempool", json::array(), true, options_.mempoolAnswerCap);
        record(pool);
        if (!pool.reached) return;
        // A mempool whose list is too large to read is skipped, not waited on: blocks still
        // bring its transactions, later.
        size_t fetched = 0;
        if (pool.ok && pool.result.is_array()) {
            for (const json& id : pool.result) {
                if (stopping() || fetched >= kFetchesPerRound) break;
                if (!id.is_string() || !is_hex64(id.get_ref<const std::string&>())) continue;
                const std::string txid = id.get<std::string>();
                if (seen_.count(txid)) continue;
                ++fetched;
                // Only one taken counts as seen: a failed read is asked for again next round (one
                // that left the mempool meanwhile is read in its block).
                indexFailed_ = false;
                if (fetch(creds, txid, -1, sink)) seen_.insert(txid);
                else if (indexFailed_) return;  // the index is down: this one is asked for again
            }
        }
        RpcResult count = call(creds, "getblockcount", json::array());
        record(count);
        if (!count.ok || !count.result.is_number_integer()) return;
        const int64_t tip = count.result.get<int64_t>();
        if (nextHeight_ < 0) {
            // The first start follows from the tip on; the chain before holds no phone of ours.
            nextHeight_ = tip + 1;
            if (save) save(std::to_string(tip));
        }
        for (int n = 0; n < kBlocksPerRound && nextHeight_ <= tip && !stopping(); ++n) {
            RpcResult hash = call(creds, "getblockhash", json::array({nextHeight_.load()}));
            if (!hash.ok || !hash.result.is_string()) return record(hash);
            RpcResult block = call(creds, "getblock", json::array({hash.result, 1}), true, kMaxBlockAnswer);
            if (!block.ok || !block.result.is_object() || !block.result.contains("tx") ||
                !block.result["tx"].is_array())
                return record(block);
            std::vector<std::string> txids;
            size_t missed = 0;
            for (const json& id : block.result["tx"]) {
                if (!id.is_string() || !is_hex64(id.get_ref<const std::string&>())) continue;
                txids.push_back(id.get<std::string>());
                // Without the node's -txindex a confirmed transaction never seen in the mempool
                // cannot be fetched; it is skipped.
                indexFailed_ = false;
                if (!seen_.count(txids.back()) && missed++ < kMissedFetchesPerBlock)
                    (void)fetch(creds, txids.back(), nextHeight_, sink);
                if (indexFailed_) return;  // the block is read again once the index is back
            }
            if (confirmed && !confirmed(txids, nextHeight_)) {
                std::lock_guard lock(mutex_);
                lastError_ = "the index could not record block " + std::to_string(nextHeight_.load());
                return;  // read again next round
            }
            if (save) save(std::to_string(nextHeight_));
            ++nextHeight_;
        }
    }

    NodeSourceOptions options_;
    RecentSet seen_;  // the follow thread's only
    CurlEasy followConnection_;  // the follow thread's only: one kept connection to the node
    bool indexFailed_ = false;  // the follow thread's only: the sink refused the last transaction
    std::atomic<int64_t> callId_{0};
    std::atomic<int64_t> nextHeight_{-1};  // the next block to confirm; -1 until the tip is known
};

}  // namespace

std::unique_ptr<ChainSource> makeNodeSource(NodeSourceOptions options) {
    return std::make_unique<NodeSource>(std::move(options));
}

}  // namespace dialo::service
