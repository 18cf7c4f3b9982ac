// The node chain source against a loopback JSON-RPC stand-in; the feed source is e2e's.
#include <gtest/gtest.h>
#include <httplib.h>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>
#include <type_traits>
#include "base/bytes.h"
#include "service/chain_sources.h"
#include "support/temp_folder.h"

namespace dialo::service {
namespace {
using nlohmann::json;
const std::string kTxA(64, 'a'), kTxB(64, 'b');
struct Seen {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<ChainTx> txs;
    std::vector<std::pair<std::vector<std::string>, int64_t>> blocks;
    std::vector<std::string> resumes;
    int blockRefusals = 0;  // the next blocks the index cannot take, as when its database is down
    bool start(ChainSource& source, const std::string& resume, std::string& error) {
        return source.start(
            [this](const ChainTx& tx) { return record([&] { txs.push_back(tx); }); },
            [this](const std::vector<std::string>& ids, int64_t height) {
                return record([&] {
                    if (blockRefusals > 0) return --blockRefusals, false;
                    blocks.emplace_back(ids, height);
                    return true;
                });
            },
            resume, [this](const std::string& r) { record([&] { resumes.push_back(r); }); }, error);
    }
    template <class F>
    bool record(F f) {
        std::lock_guard lock(mutex);
        changed.notify_all();
        if constexpr (std::is_void_v<decltype(f())>) return f(), true;
        else return f();
    }
    template <class Pred>
    bool waitFor(Pred pred) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(20), pred);
    }
};
// The node source's JSON-RPC calls as bitcoind answers them, for user "dialo" only.
struct FakeNode {
    std::mutex mutex;
    std::vector<std::string> mempool;
    std::map<std::string, std::string> hex;        // txid -> raw
    std::vector<std::vector<std::string>> blocks{{}};  // index = height - 100; the tip at 100
    httplib::Server http;
    std::thread thread;
    int port = http.bind_to_any_port("127.0.0.1");  // listening from here on
    FakeNode() {
        http.Post("/", [this](const httplib::Request& req, httplib::Response& res) {
            if (req.get_header_value("Authorization") != "Basic ZGlhbG86cmlnaHQgaG9yc2U=") {
                res.status = 401;  // bitcoind: no body
                return;
            }
            json call = json::parse(req.body), reply = {{"result", nullptr}, {"error", nullptr}, {"id", call["id"]}};
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
                if (p[0] == "0bad") error(-26, "mandatory-script-verify-flag-failed (Script failed an OP_EQUALVERIFY operation)");
                else if (p[0] == "0001") error(-27, "Transaction already in block chain");
                else reply["result"] = kTxB;
            } else {
                error(-32601, "Method not found");
            }
            res.set_content(reply.dump(), "application/json");
        });
        thread = std::thread([this] { http.listen_after_bind(); });
    }
    ~FakeNode() {
        http.stop();
        thread.join();
    }
};
TEST(NodeSource, MempoolThenBlockThenRelayAndAWrongPassword) {
    test::TempFolder dir("platform-node", false);
    FakeNode node;
    ASSERT_GT(node.port, 0);
    std::ofstream(dir.path + "/rpc.pw") << "right horse\n";
    std::ofstream(dir.path + "/wrong.pw") << "wrong horse\n";
    NodeSourceOptions o;
    o.rpcUrl = "http://127.0.0.1:" + std::to_string(node.port);
    o.rpcUser = "dialo";
    o.rpcPasswordFile = dir.path + "/wrong.pw";
    o.pollMs = 50;
    std::string error;
    {
        Seen refused;
        EXPECT_FALSE(refused.start(*makeNodeSource(o), "", error));
        EXPECT_NE(error.find("password (HTTP 401)"), std::string::npos) << error;
        EXPECT_EQ(error.find("horse"), std::string::npos) << error;
    }
    o.rpcPasswordFile = dir.path + "/rpc.pw";
    Seen seen;
    auto source = makeNodeSource(o);
    ASSERT_TRUE(seen.start(*source, "", error)) << error;
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
        EXPECT_EQ(std::tie(seen.txs[0].txid, seen.txs[0].raw, seen.txs[0].height),
                  std::make_tuple(kTxA, Bytes{0x01, 0x00}, int64_t(-1)));
        seen.blockRefusals = 1;  // the block is read again until the index records it
    }
    {
        std::lock_guard lock(node.mutex);
        node.mempool.clear();
        node.blocks.push_back({kTxA});
    }
    ASSERT_TRUE(seen.waitFor([&] { return !seen.blocks.empty() && seen.resumes.back() == "101"; }));
    {
        std::lock_guard lock(seen.mutex);
        EXPECT_EQ(seen.blockRefusals, 0);
        EXPECT_EQ(seen.blocks[0], std::make_pair(std::vector<std::string>{kTxA}, int64_t(101)));
        EXPECT_EQ(seen.txs.size(), 1u);  // seen in the mempool, not fetched again
    }
    EXPECT_EQ(source->health()["connected"], true);
    for (const auto& [raw, accepted, message] : {std::tuple{Bytes{0x0b, 0xad}, false, "mandatory-script-verify-flag-failed"},
                                                 {Bytes{0x00, 0x01}, true, ""}}) {
        Relayed r = source->relay(raw);
        EXPECT_EQ(r.accepted, accepted) << hex_encode(raw);
        EXPECT_TRUE(r.error.starts_with(message)) << r.error;
        EXPECT_TRUE(is_hex64(r.txid)) << r.txid;
    }
    source->stop();
    // A restart resumes after the last confirmed block; an oversized mempool does not hold it up.
    {
        std::lock_guard lock(node.mutex);
        node.mempool = {kTxA};
        node.blocks.push_back({kTxB});
        node.hex[kTxB] = "0200";
    }
    o.mempoolAnswerCap = 16;
    Seen again;
    auto second = makeNodeSource(o);
    ASSERT_TRUE(again.start(*second, "101", error)) << error;
    ASSERT_TRUE(again.waitFor([&] { return !again.blocks.empty(); }));
    std::lock_guard lock(again.mutex);
    EXPECT_EQ(again.blocks[0].second, 102);
    // Never seen in the mempool: fetched for the block, at its height.
    ASSERT_EQ(again.txs.size(), 1u);
    EXPECT_EQ(again.txs[0].txid, kTxB);
    EXPECT_EQ(again.txs[0].height, 102);
}
}  // namespace
}  // namespace dialo::service
