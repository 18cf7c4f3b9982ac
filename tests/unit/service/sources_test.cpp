// The chain sources against small loopback servers: a BSV node's JSON-RPC (no real node runs
// here) and the devnet's feed.

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "base/base64.h"
#include "base/bytes.h"
#include "service/chain_sources.h"
#include "support/temp_folder.h"

namespace dialo::service {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

const std::string kTxA(64, 'a');
const std::string kTxB(64, 'b');

// What the sinks were handed, waited on with a deadline.
struct Seen {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<ChainTx> txs;
    std::vector<std::pair<std::vector<std::string>, int64_t>> blocks;
    std::vector<std::string> resumes;
    int refusals = 0;  // the next ones the index cannot take, as when its database is down
    int blockRefusals = 0;  // the same for blocks

    ChainSink sink() {
        return [this](const ChainTx& tx) {
            std::lock_guard lock(mutex);
            if (refusals > 0) {
                --refusals;
                return false;
            }
            txs.push_back(tx);
            changed.notify_all();
            return true;
        };
    }
    ConfirmSink confirmed() {
        return [this](const std::vector<std::string>& ids, int64_t height) {
            std::lock_guard lock(mutex);
            if (blockRefusals > 0) {
                --blockRefusals;
                return false;
            }
            blocks.emplace_back(ids, height);
            changed.notify_all();
            return true;
        };
    }
    std::function<void(const std::string&)> save() {
        return [this](const std::string& r) {
            std::lock_guard lock(mutex);
            resumes.push_back(r);
            changed.notify_all();
        };
    }
    template <class Pred>
    bool waitFor(Pred pred) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 20s, pred);
    }
};

// A loopback HTTP server on a free port.
struct Loopback {
    httplib::Server server;
    std::thread thread;
    int port = 0;
    void run() {
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!server.is_running() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
    }
    ~Loopback() {
        server.stop();
        if (thread.joinable()) thread.join();
    }
};

// The JSON-RPC calls the node source makes, answered as bitcoind answers them.
struct FakeNode {
    std::mutex mutex;
    std::vector<std::string> mempool;
    std::map<std::string, std::string> hex;  // txid -> raw
    std::vector<std::vector<std::string>> blocks;  // index = height - 100
    std::string lastSent;
    Loopback http;

    FakeNode(const std::string& user, const std::string& password) {
        blocks.push_back({});  // the tip at height 100
        const std::string auth = "Basic " + base64Encode(reinterpret_cast<const uint8_t*>((user + ":" + password).data()),
                                                         user.size() + 1 + password.size());
        http.server.Post("/", [this, auth](const httplib::Request& req, httplib::Response& res) {
            if (req.get_header_value("Authorization") != auth) {
                res.status = 401;  // bitcoind: no body
                return;
            }
            json call = json::parse(req.body);
            json reply = {{"result", nullptr}, {"error", nullptr}, {"id", call["id"]}};
            const std::string method = call["method"];
            const json& p = call["params"];
            std::lock_guard lock(mutex);
            auto error = [&](int code, const std::string& message) {
                reply["error"] = {{"code", code}, {"message", message}};
                res.status = 500;
            };
            if (method == "getrawmempool") reply["result"] = mempool;
            else if (method == "getblockcount") reply["result"] = 99 + int64_t(blocks.size());
            else if (method == "getblockhash") reply["result"] = "hash" + std::to_string(p[0].get<int64_t>());
            else if (method == "getblock") {
                const int64_t h = std::stoll(p[0].get<std::string>().substr(4));
                reply["result"] = {{"height", h}, {"tx", blocks.at(size_t(h - 100))}};
            } else if (method == "getrawtransaction") {
                auto it = hex.find(p[0].get<std::string>());
                if (it == hex.end()) error(-5, "No such mempool transaction.");
                else reply["result"] = it->second;
            } else if (method == "sendrawtransaction") {
                lastSent = p[0];
                if (lastSent == "0bad") error(-26, "mandatory-script-verify-flag-failed (Script failed an OP_EQUALVERIFY operation)");
                else if (lastSent == "0001") error(-27, "Transaction already in block chain");
                else reply["result"] = kTxB;
            } else {
                error(-32601, "Method not found");
                res.status = 404;
            }
            res.set_content(reply.dump(), "application/json");
        });
        http.run();
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(http.port); }
};

TEST(NodeSource, MempoolThenBlockThenRelayAndAWrongPassword) {
    test::TempFolder dir("platform-node", false);
    FakeNode node("dialo", "right horse");
    ASSERT_GT(node.http.port, 0);
    std::ofstream(dir.path + "/rpc.pw") << "right horse\n";
    std::ofstream(dir.path + "/wrong.pw") << "wrong horse\n";

    NodeSourceOptions o;
    o.rpcUrl = node.url();
    o.rpcUser = "dialo";
    o.rpcPasswordFile = dir.path + "/wrong.pw";
    o.pollMs = 50;
    {
        Seen seen;
        auto source = makeNodeSource(o);
        std::string error;
        EXPECT_FALSE(source->start(seen.sink(), seen.confirmed(), "", seen.save(), error));
        EXPECT_NE(error.find("password (HTTP 401)"), std::string::npos) << error;
        EXPECT_EQ(error.find("horse"), std::string::npos) << error;
    }

    o.rpcPasswordFile = dir.path + "/rpc.pw";
    Seen seen;
    auto source = makeNodeSource(o);
    std::string error;
    ASSERT_TRUE(source->start(seen.sink(), seen.confirmed(), "", seen.save(), error)) << error;
    // A first start follows from the tip.
    ASSERT_TRUE(seen.waitFor([&] { return !seen.resumes.empty(); }));
    EXPECT_EQ(seen.resumes.front(), "100");
    {
        std::lock_guard lock(node.mutex);
        node.mempool.push_back(kTxA);
        node.hex[kTxA] = "0100";
    }
    ASSERT_TRUE(seen.waitFor([&] { return !seen.txs.empty(); }));
    {
        std::lock_guard lock(seen.mutex);
        EXPECT_EQ(seen.txs[0].txid, kTxA);
        EXPECT_EQ(seen.txs[0].raw, (Bytes{0x01, 0x00}));
        EXPECT_EQ(seen.txs[0].height, -1);
        EXPECT_GT(seen.txs[0].seen, 0);
    }
    {
        std::lock_guard lock(seen.mutex);
        seen.blockRefusals = 1;  // the block is read again until the index records it
    }
    {
        std::lock_guard lock(node.mutex);
        node.mempool.clear();
        node.blocks.push_back({kTxA});
    }
    ASSERT_TRUE(seen.waitFor([&] { return !seen.blocks.empty(); }));
    ASSERT_TRUE(seen.waitFor([&] { return seen.resumes.back() == "101"; }));
    {
        std::lock_guard lock(seen.mutex);
        EXPECT_EQ(seen.blockRefusals, 0);
        EXPECT_EQ(seen.blocks[0].first, std::vector<std::string>{kTxA});
        EXPECT_EQ(seen.blocks[0].second, 101);
        EXPECT_EQ(seen.txs.size(), 1u);  // seen in the mempool, not fetched again
    }
    nlohmann::json h = source->health();
    EXPECT_EQ(h["source"], "node");
    EXPECT_EQ(h["connected"], true);

    struct Row {
        Bytes raw;
        bool accepted;
        const char* error;
    };
    for (const Row& row : std::vector<Row>{{{0x0b, 0xad}, false, "mandatory-script-verify-flag-failed"},
                                           {{0x00, 0x01}, true, ""},
                                           {{0x01, 0x02}, true, ""}}) {
        Relayed r = source->relay(row.raw);
        EXPECT_EQ(r.accepted, row.accepted) << hex_encode(row.raw);
        EXPECT_TRUE(r.error.starts_with(row.error)) << r.error;
        EXPECT_TRUE(is_hex64(r.txid)) << r.txid;
    }
    source->stop();

    // A restart resumes after the last block confirmed; a mempool too large to read does not
    // hold the blocks up.
    {
        std::lock_guard lock(node.mutex);
        node.mempool = {kTxA};
        node.blocks.push_back({kTxB});
        node.hex[kTxB] = "0200";
    }
    o.mempoolAnswerCap = 16;
    Seen again;
    auto second = makeNodeSource(o);
    ASSERT_TRUE(second->start(again.sink(), again.confirmed(), "101", again.save(), error)) << error;
    ASSERT_TRUE(again.waitFor([&] { return !again.blocks.empty(); }));
    std::lock_guard lock(again.mutex);
    EXPECT_EQ(again.blocks[0].second, 102);
    // Never seen in the mempool: fetched for the block, at its height.
    ASSERT_EQ(again.txs.size(), 1u);
    EXPECT_EQ(again.txs[0].txid, kTxB);
    EXPECT_EQ(again.txs[0].height, 102);
}

TEST(DevnetFeedSource, FollowsTheFeedAndResumesAndStopsMidWait) {
    Loopback feed;
    std::mutex mutex;
    std::condition_variable released;
    bool release = false;
    std::vector<std::string> asked;
    feed.server.Get("/devnet/feed", [&](const httplib::Request& req, httplib::Response& res) {
        const std::string after = req.get_param_value("after"), height = req.get_param_value("height");
        {
            std::lock_guard lock(mutex);
            asked.push_back(after + ":" + height);
        }
        json out;
        if (after == "7" || height == "4") {
            out = {{"txs", json::array()}, {"cursor", 8}, {"blocks", {{{"height", 5}, {"txids", {kTxA}}}}}, {"height", 5}};
            if (after == "7")
                out["txs"] = {{{"seq", 8}, {"txid", kTxA}, {"hex", "0100"}, {"height", -1}, {"seen_ms", 1234}}};
        } else {
            // Nothing new: the feed holds the request as a long poll would, past the test's end
            // unless released.
            std::unique_lock lock(mutex);
            released.wait_for(lock, 60s, [&] { return release; });
            out = {{"txs", json::array()}, {"cursor", 8}, {"blocks", json::array()}, {"height", 5}};
        }
        res.set_content(out.dump(), "application/json");
    });
    feed.server.Post("/arc/v1/tx", [](const httplib::Request& req, httplib::Response& res) {
        const json body = json::parse(req.body);
        const bool good = body["rawTx"] == "0100";
        res.set_content(json{{"txid", kTxA},
                             {"txStatus", good ? "SEEN_ON_NETWORK" : "REJECTED"},
                             {"extraInfo", good ? "" : "missing inputs"}}
                            .dump(),
                        "application/json");
    });
    feed.run();

    Seen seen;
    seen.refusals = 1;
    seen.blockRefusals = 1;
    auto source = makeDevnetFeedSource({"http://127.0.0.1:" + std::to_string(feed.port), "", 20});
    std::string error;
    ASSERT_TRUE(source->start(seen.sink(), seen.confirmed(), "7:4", seen.save(), error)) << error;
    ASSERT_TRUE(seen.waitFor([&] { return !seen.resumes.empty() && seen.resumes.back() == "8:5"; }));
    {
        std::lock_guard lock(seen.mutex);
        ASSERT_EQ(seen.txs.size(), 1u);
        EXPECT_EQ(seen.txs[0].txid, kTxA);
        EXPECT_EQ(seen.txs[0].seen, 1234);
        ASSERT_EQ(seen.blocks.size(), 1u);
        EXPECT_EQ(seen.blocks[0].second, 5);
        // The refused transaction kept the resume point before it, the refused block the
        // height before it; each was asked for again.
        EXPECT_EQ(seen.resumes, (std::vector<std::string>{"7:4", "8:4", "8:5"}));
    }
    // The next poll asks from where the answer left off.
    const auto deadline0 = std::chrono::steady_clock::now() + 20s;
    for (;;) {
        std::unique_lock lock(mutex);
        if (asked.size() >= 4 || std::chrono::steady_clock::now() > deadline0) break;
        lock.unlock();
        std::this_thread::sleep_for(5ms);
    }
    {
        std::lock_guard lock(mutex);
        ASSERT_GE(asked.size(), 4u);
        EXPECT_EQ(asked[0], "7:4");
        EXPECT_EQ(asked[1], "7:4");
        EXPECT_EQ(asked[2], "8:4");
        EXPECT_EQ(asked[3], "8:5");
    }
    EXPECT_EQ(source->health()["connected"], true);
    EXPECT_TRUE(source->relay({0x01, 0x00}).accepted);
    Relayed refused = source->relay({0x02});
    EXPECT_FALSE(refused.accepted);
    EXPECT_EQ(refused.error, "missing inputs");
    // Stopping ends the feed's long wait from this side, long before the feed would answer.
    const auto stopping = std::chrono::steady_clock::now();
    source->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 30s);
    {
        std::lock_guard lock(mutex);
        release = true;
    }
    released.notify_all();

    // A feed that cannot be reached shows in the health.
    feed.server.stop();
    feed.thread.join();
    Seen lost;
    auto offline = makeDevnetFeedSource({"http://127.0.0.1:" + std::to_string(feed.port), "", 20});
    ASSERT_TRUE(offline->start(lost.sink(), lost.confirmed(), "", lost.save(), error));
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (offline->health().value("error", "").empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(offline->health()["connected"], false);
    EXPECT_FALSE(offline->health().value("error", "").empty());
    offline->stop();
}

}  // namespace
}  // namespace dialo::service
