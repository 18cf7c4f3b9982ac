// Learning of events by push, against a loopback platform that speaks the long-poll listing:
// how the phone falls back to polling where push is absent or fails, and that stopping the
// phone does not wait for a held listing. That push brings events without polling is
// e2e.platform's.

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/startup.h"
#include "base/config.h"
#include "call/background.h"
#include "call/https_get.h"
#include "call/poller.h"
#include "call/push.h"
#include "state/phone_state.h"
#include "tools/devnet/tls.h"
#include "wallet/encoding.h"
#include "wallet/http.h"
#include "wallet/transaction.h"

namespace dialo::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr char kAddress[] = "1PushTestAddressxxxxxxxxxxxxxxxxx";

std::mutex gFoundMutex;
std::vector<std::string> gFound;  // txids handed on

void record(const std::string& txid, const std::string&) {
    std::lock_guard lock(gFoundMutex);
    gFound.push_back(txid);
}

// The platform's side of push over HTTPS on a free loopback port: a listing whose cursor is the
// count of payments, held while the caller's cursor is current.
class PushPlatform {
public:
    bool offerPush = true;
    int port = 0;
    std::string caPath;

    bool start(const std::string& dir) {
        devnet::TlsFiles tls;
        std::string error;
        if (!devnet::ensureTlsFiles(dir, "orvane.test", "orvane.test", tls, error)) return false;
        caPath = tls.caPath;
        server_ = std::make_unique<httplib::SSLServer>(tls.serverCertPath.c_str(), tls.serverKeyPath.c_str());
        server_->set_keep_alive_max_count(100000);  // a wait's connection stays the push worker's
        server_->Get("/oi/capabilities", [this](const httplib::Request&, httplib::Response& res) {
            std::lock_guard lock(mutex_);
            ++capabilitiesAsked_;
            changed_.notify_all();
            if (!offerPush) return void(res.status = 404);
            res.set_content(R"({"push":{"kind":"long-poll","path":"/oi/oracle/dialo/txids","max_wait_seconds":25}})",
                            "application/json");
        });
        server_->Get("/oi/oracle/dialo/txids", [this](const httplib::Request& req, httplib::Response& res) { listing(req, res); });
        server_->Get(R"(/oi/tx/([0-9a-f]{64}))", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard lock(mutex_);
            auto it = txs_.find(req.matches[1].str());
            if (it == txs_.end()) return void(res.status = 404);
            res.set_content(it->second, "application/json");
        });
        port = server_->bind_to_any_port("127.0.0.1");
        if (port <= 0) return false;
        thread_ = std::thread([this] { server_->listen_after_bind(); });
        return true;  // bound: connections wait in the backlog until it accepts
    }
    void stop() {
        set([&] { stopping_ = true; });
        if (server_) server_->stop();
        if (thread_.joinable()) thread_.join();
    }

    // A payment to the phone carrying `payload`; wakes the held listings.
    std::string pay(const std::string& payload) {
        std::lock_guard lock(mutex_);
        char id[65];
        std::snprintf(id, sizeof id, "%064zx", size_t(0xabc000) + txids_.size());
        const std::string script = hex_encode(data_output_script(payload));
        txs_[id] = json{{"txid", id}, {"vout", {{{"value", 0}, {"scriptPubKey", {{"hex", script}, {"type", "nulldata"}}}}}}}.dump();
        txids_.push_back(id);
        changed_.notify_all();
        return id;
    }
    // Held listings, now and from now on, answer 500 while failing.
    void failWaits(bool failing) { set([&] { failing_ = failing; }); }

    bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 15s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, done);
    }
    // Read within waitUntil's condition.
    int held() const { return held_; }
    int heldListings() const { return waited_; }
    int capabilitiesAsked() const { return capabilitiesAsked_; }
    // Listings without a wait on no connection a wait came on: polls.
    int polls() {
        std::lock_guard lock(mutex_);
        return int(std::count_if(plainPorts_.begin(), plainPorts_.end(), [&](int p) { return !pushPorts_.count(p); }));
    }

private:
    void set(const std::function<void()>& change) {
        std::lock_guard lock(mutex_);
        change();
        changed_.notify_all();
    }
    void listing(const httplib::Request& req, httplib::Response& res) {
        std::unique_lock lock(mutex_);
        if (req.has_param("wait")) {
            pushPorts_.insert(req.remote_port);
            ++waited_, ++held_;
            changed_.notify_all();
            const std::string after = req.get_param_value("after");
            changed_.wait_for(lock, std::chrono::seconds(std::stoi(req.get_param_value("wait"))),
                              [&] { return stopping_ || failing_ || std::to_string(txids_.size()) != after; });
            --held_;
            if (failing_) return res.status = 500, changed_.notify_all();
        } else {
            plainPorts_.push_back(req.remote_port);
        }
        json body = {{"txids", txids_}};
        if (offerPush) body["cursor"] = std::to_string(txids_.size());
        res.set_content(body.dump(), "application/json");
        changed_.notify_all();
    }

    std::unique_ptr<httplib::SSLServer> server_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> txids_;
    std::map<std::string, std::string> txs_;
    int capabilitiesAsked_ = 0, waited_ = 0, held_ = 0;
    std::set<int> pushPorts_;
    std::vector<int> plainPorts_;
    bool failing_ = false, stopping_ = false;
};

std::string eventPayload(int n) {
    return R"({"enc_v":4,"n":)" + std::to_string(n) + R"(,"pmessage1":"00","protocol":"OV-Dialo","type":"dl"})";
}

class PushTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::signal(SIGPIPE, SIG_IGN);
        resetCoreState();
        resetPush();
        dir_ = std::filesystem::temp_directory_path() /
               ("dialo-push-" + std::to_string(::getpid()) + "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        {
            std::lock_guard lock(gFoundMutex);
            gFound.clear();
        }
        setPayloadHandler(record);
        phoneFlags().running = true;
        phoneFlags().oracleBackoffUntil = 0;
        auto g = lockPhone();
        g.state.knownTxids.clear();
        g.state.callState = CallState::Idle;
        g.state.ownPayAddress.clear();
    }
    void TearDown() override {
        stopPhone();
        platform->stop();
        setPayloadHandler(nullptr);
        release_shared_http();
        std::filesystem::remove_all(dir_);
    }

    // The platform up and the phone pointed at it, its push worker running for kAddress.
    void startPhone(bool push = true) {
        ASSERT_TRUE(platform->start(dir_.string()));
        const std::string base = "https://127.0.0.1:" + std::to_string(platform->port);
        applyConfigDocument(json{{"network",
                                  {{"service_port", platform->port}, {"directory_port", platform->port},
                                   {"woc_base", base + "/woc/v1/bsv/main"}, {"arc_base", base + "/arc"}, {"update_base", base},
                                   {"ca_file", platform->caPath}, {"push", push}}}});
        lockPhone().state.ownPayAddress = kAddress;
        worker_ = std::thread([this] { pushWorker(), ended_.set_value(); });
    }
    void stopPhone() {
        phoneFlags().running = false;
        if (worker_.joinable()) worker_.join();
        phoneFlags().running = true;
        releasePhoneConnections();  // else the server waits out their keep-alive
    }

    static bool found(const std::string& txid) {
        std::lock_guard lock(gFoundMutex);
        return std::find(gFound.begin(), gFound.end(), txid) != gFound.end();
    }
    // Waits for `done`, which the phone's threads make true, up to a deadline.
    static bool eventually(const std::function<bool()>& done, std::chrono::milliseconds every = 10ms) {
        for (const auto deadline = std::chrono::steady_clock::now() + 15s; !done(); std::this_thread::sleep_for(every))
            if (std::chrono::steady_clock::now() > deadline) return false;
        return true;
    }

    std::unique_ptr<PushPlatform> platform = std::make_unique<PushPlatform>();
    std::promise<void> ended_;
    std::thread worker_;
    std::filesystem::path dir_;
};

// Wherever push is not to be had the background loop's very next cycle polls, as it always did.
TEST_F(PushTest, WithoutPushTheNextCyclePolls) {
    struct Row {
        const char* what;
        bool offered, push;
    };
    for (const Row row : {Row{"the platform answers 404 to capabilities", false, true},
                          Row{"a held listing fails with a 500", true, true},
                          Row{"push turned off in phone.json", true, false}}) {
        SCOPED_TRACE(row.what);
        platform->offerPush = row.offered;
        startPhone(row.push);
        if (!row.push) {
            EXPECT_FALSE(platform->waitUntil([&] { return platform->capabilitiesAsked() > 0; }, 1s))
                << "the platform is not asked";
        } else if (row.offered) {
            ASSERT_TRUE(platform->waitUntil([&] { return platform->held() == 1; }));
            ASSERT_TRUE(pushActive());
            const int before = platform->polls();
            EXPECT_TRUE(listenForEvents(kAddress)) << "push up";
            EXPECT_EQ(platform->polls(), before) << "nothing polled";
            platform->failWaits(true);
            ASSERT_TRUE(eventually([] { return !pushActive(); })) << "cleared as the held listing failed";
        } else {
            ASSERT_TRUE(platform->waitUntil([&] { return platform->capabilitiesAsked() == 1; }));
        }
        const std::string txid = platform->pay(eventPayload(2));
        const int before = platform->polls();
        EXPECT_FALSE(listenForEvents(kAddress));
        EXPECT_EQ(platform->polls(), before + 1) << "one poll";
        EXPECT_TRUE(found(txid)) << "read by that poll";
        if (row.offered && row.push) {
            // Back once a held listing is answered again: payments keep coming until one is.
            platform->failWaits(false);
            EXPECT_TRUE(eventually([&] { return pushActive() || (platform->pay(eventPayload(3)), false); }, 200ms))
                << "push back after its pause";
        } else {
            EXPECT_FALSE(pushActive());
            EXPECT_EQ(platform->heldListings(), 0);
        }
        stopPhone();
        platform->stop();
        platform = std::make_unique<PushPlatform>();
        ended_ = {};
        resetPoller();
        resetPush();
    }
}

TEST_F(PushTest, StoppingThePhoneEndsAHeldListingAtOnce) {
    startPhone();
    ASSERT_TRUE(platform->waitUntil([&] { return platform->held() == 1; }));
    std::future<void> ended = ended_.get_future();
    phoneFlags().running = false;
    // The platform would hold the listing 25 s.
    EXPECT_EQ(ended.wait_for(5s), std::future_status::ready) << "the worker ended within 5 s";
    EXPECT_FALSE(pushActive());
}

}  // namespace
}  // namespace dialo::test
