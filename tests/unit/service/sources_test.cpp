// The node chain source against a small loopback server answering a BSV node's JSON-RPC (no real
// node runs here). The devnet's feed source is followed, refused and resumed in the e2e platform run.

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
    int blockRefusals = 0;  // the next blocks the index cannot take, as when its database is down

    ChainSink sink() {
        return [this](const ChainTx& tx) {
            std::lock_guard lock(mutex);
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

// The JSON-RPC calls the node source makes, answered as bitcoind answers them.
struct FakeNode {
    std::mutex mutex;
    std::vector<std::string> mempool;
    std::map<std::string, std::string> hex;  // txid -> raw
    std::vector<std::vector<std::string>> blocks;  // index = height - 100
    httplib::Server http;
    std::thread thread;
    int port = 0;

    FakeNode(const std::string& user, const std::string& password) {
        blocks.push_back({});  // the tip at height 100
        const std::string auth = "Basic " + base64Encode(reinterpret_cast<const uint8_t*>((user + ":" + password).data()),
                                                         user.size() + 1 + password.size());
        http.Post("/", [this, auth](const httplib::Request& req, httplib::Response& res) {
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
                const std::string sent = p[0];
                if (sent == "0bad") error(-26, "mandatory-script-verify-flag-failed (Script failed an OP_EQUALVERIFY operation)");
                else if (sent == "0001") error(-27, "Transaction already in block chain");
                else reply["result"] = kTxB;
            } else {
                error(-32601, "Method not found");
                res.status = 404;
            }
            res.set_content(reply.dump(), "application/json");
        });
        port = http.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { http.listen_after_bind(); });
    }
    ~FakeNode() {
        http.stop();
        thread.join();
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port); }
};

TEST(NodeSource, MempoolThenBlockThenRelayAndAWrongPassword) {
    test::TempFolder dir("platform-node", false);
    FakeNode node("dialo", "right horse");
    ASSERT_GT(node.port, 0);
    std::ofstream(dir.path + "/rpc.pw") << "right horse\n";
    std::ofstream(dir.path + "/wrong.pw") << "wrong horse\n";

    NodeSourceOptions o;
    o.rpcUrl = node.url();
    o.rpcUser = "dialo";
    o.rpcPasswordFile = dir.path + "/wrong.pw";
    o.pollMs = 50;
    {
        Seen seen;
        std::string error;
        EXPECT_FALSE(makeNodeSource(o)->start(seen.sink(), seen.confirmed(), "", seen.save(), error));
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
    EXPECT_EQ(source->health()["connected"], true);

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

}  // namespace
}  // namespace dialo::service
