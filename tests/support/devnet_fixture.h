#pragma once
// An in-process devnet on loopback, over real HTTPS trusting only its own CA.
#include <gtest/gtest.h>
#include <httplib.h>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>
#include <nlohmann/json.hpp>
#include "support/temp_folder.h"
#include "tools/devnet/ledger.h"
#include "tools/devnet/service.h"
#include "vaultra/identity.h"
#include "wallet/coin.h"
#include "wallet/encoding.h"
#include "wallet/keys.h"
#include "wallet/transaction.h"

namespace dialo::devnet::test {
using nlohmann::json;
struct Reply {
    bool reached = false;  // an HTTP answer came back at all
    int status = 0;
    std::string body;
    json j;  // discarded when the body is not JSON
};
struct Key {
    std::string priv, pub, address;
    Hash160 hash{};
};
/// A key from a repeated hex digit, e.g. '1' gives 0x1111…11.
inline Key keyOf(char digit) {
    Key k;
    k.priv = std::string(64, digit);
    EXPECT_TRUE(pubkey_from_priv(k.priv, k.pub));
    k.address = address_from_pubkey(k.pub);
    EXPECT_TRUE(decode_p2pkh_address(k.address, k.hash));
    return k;
}
/// Signed over "OV-PAYMAIL-CLAIM|alias|pubkey|address|avatar|" [ord|bnPub|bnAddr| or ord|] ts, as the platform checks.
inline json signedClaim(const std::string& alias, const Key& identity, const Key& pay, const std::string& avatar = "",
                        const std::string& ord = "", const std::string& bnPub = "", const std::string& bnAddress = "",
                        int64_t ts = 0) {
    if (ts == 0) ts = int64_t(std::time(nullptr));
    std::string text = "OV-PAYMAIL-CLAIM|" + alias + "|" + identity.pub + "|" + pay.address + "|" + avatar + "|";
    if (!bnPub.empty() && !bnAddress.empty()) text += ord + "|" + bnPub + "|" + bnAddress + "|";
    else if (!ord.empty()) text += ord + "|";
    text += std::to_string(ts);
    std::string sig;
    EXPECT_TRUE(sign_message_compact(identity.priv, text, sig));
    json body = {{"alias", alias}, {"pubkey", identity.pub}, {"address", pay.address}, {"avatar", avatar},
                 {"ts", ts},       {"sig", sig}};
    if (!ord.empty()) body["ordAddress"] = ord;
    if (!bnPub.empty()) body["bnPub"] = bnPub;
    if (!bnAddress.empty()) body["bnAddress"] = bnAddress;
    return body;
}
inline Coin coinOf(const Key& k, const std::string& txid, uint32_t vout, int64_t sats) {
    Coin c;
    c.txid = txid;
    c.vout = vout;
    c.sats = sats;
    c.locking = p2pkh_script(k.hash);
    c.owner = k.hash;
    return c;
}
inline TxOutput payTo(const Key& k, int64_t sats) { return {sats, p2pkh_script(k.hash)}; }
/// Every coin as input, change to `change`, each signed by its repeated-digit test key.
inline Bytes buildSigned(std::vector<Coin> coins, const std::vector<TxOutput>& requested, const Key& change,
                         int64_t rate = 1) {
    std::vector<TxOutput> outputs;
    int64_t fee = 0;
    std::string error;
    EXPECT_TRUE(build_tx(coins, outputs, change.hash, requested, fee, error, coins.size(), rate)) << error;
    for (Coin& c : coins) {
        Key k;
        for (char d : std::string("123456789abcdef"))
            if ((k = keyOf(d)).hash == c.owner) break;
        EXPECT_TRUE(sign_input(c, coins, outputs, c.owner, k.priv, k.pub, error)) << error;
    }
    return serialize_tx(coins, outputs, false);
}
class DevnetTest : public ::testing::Test {
protected:
    void SetUp() override {
        // As dialo-devnet does: an answer written to a dropped connection must not end the test.
        std::signal(SIGPIPE, SIG_IGN);
        options.dataDir = dir_.string();
        options.servicePort = 0;
        options.directoryPort = 0;
        options.blockIntervalSeconds = 0;
        options.unspentPageSize = 2;
        options.caExportPath = (dir_ / "exported-ca.pem").string();
    }
    void TearDown() override { devnet.stop(); }
    void start() {
        std::string error;
        ASSERT_TRUE(devnet.start(options, error)) << error;
    }
    void restart() { devnet.stop(); start(); }
    Reply send(int port, const std::string& method, const std::string& path, const std::string& body = {},
               const std::string& type = "application/json") {
        httplib::SSLClient cli("127.0.0.1", port);
        cli.set_ca_cert_path(devnet.caPath().c_str());
        cli.enable_server_certificate_verification(true);
        cli.set_connection_timeout(5);
        cli.set_read_timeout(20);
        httplib::Result r = method == "GET"    ? cli.Get(path.c_str())
                            : method == "POST" ? cli.Post(path.c_str(), body, type.c_str())
                                               : cli.Delete(path.c_str());
        Reply out;
        if (!r) return out;
        out.reached = true;
        out.status = r->status;
        out.body = r->body;
        out.j = json::parse(out.body, nullptr, false);
        return out;
    }
    Reply get(const std::string& path) { return send(devnet.servicePort(), "GET", path); }
    Reply post(const std::string& path, const json& body) { return send(devnet.servicePort(), "POST", path, body.dump()); }
    Reply woc(const std::string& path) { return get(std::string("/woc/v1/bsv/main") + path); }
    Coin fund(const Key& k, int64_t sats, bool confirm = true) {
        Reply r = post("/devnet/fund", {{"address", k.address}, {"sats", sats}, {"confirm", confirm}});
        EXPECT_EQ(r.status, 200) << r.body;
        std::string txid = r.j.is_object() && r.j.contains("txid") ? r.j["txid"].get<std::string>() : std::string();
        return coinOf(k, txid, 0, sats);
    }
    Reply submitWoc(const Bytes& raw) { return post("/woc/v1/bsv/main/tx/raw", {{"txhex", hex_encode(raw)}}); }
    Reply submitArc(const Bytes& raw) { return post("/arc/v1/tx", {{"rawTx", hex_encode(raw)}}); }
    int64_t mine() {
        Reply r = post("/devnet/mine", json::object());
        EXPECT_EQ(r.status, 200) << r.body;
        return r.j.is_object() ? r.j.value("height", int64_t(-1)) : -1;
    }
    /// Waits, up to a deadline, until `done` holds; the devnet's own threads make it true.
    static bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }
    // Declared first, so the folder goes only after the devnet has stopped.
    dialo::test::TempFolder folder_{"devnet", false};
    std::filesystem::path dir_ = folder_.path;
    DevnetOptions options;
    Devnet devnet;
};
}  // namespace dialo::devnet::test
