// Each service answers in the shapes its callers in the phone read: the oracle listing,
// transaction JSON with data parts, paged unspent lists, balances, ARC statuses, the update
// site, and injected faults.

#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <chrono>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "support/devnet_fixture.h"
#include "tools/devnet/faults.h"

namespace dialo::devnet::test {
namespace {

class DevnetEndpointsTest : public DevnetTest {};

TEST_F(DevnetEndpointsTest, OracleListsTheMostRecentPaymentsOldestFirstAndNoSpends) {
    start();
    Key alice = keyOf('1'), other = keyOf('5');
    std::vector<std::string> txids;
    for (int i = 0; i < 23; ++i) {
        txids.push_back(fund(alice, 1000 + i, false).txid);
        fund(other, 500, false);  // payments to someone else stay out of the listing
    }
    auto listed = [&](const Key& k, int limit) {
        Reply r = get("/oi/oracle/dialo/txids?address=" + k.address + "&kind=all&limit=" + std::to_string(limit));
        EXPECT_EQ(r.status, 200) << r.body;
        return r.j["txids"];
    };
    EXPECT_EQ(listed(alice, 20), json(std::vector<std::string>(txids.begin() + 3, txids.end())));
    EXPECT_EQ(listed(alice, 5), json(std::vector<std::string>(txids.end() - 5, txids.end())));

    // A spend from alice lists only under its payee (change goes to the payee here).
    Coin coin = fund(other, 10000);
    Bytes spend = buildSigned({coin}, {payTo(alice, 1000)}, alice);
    ASSERT_EQ(submitOracle(spend).status, 200);
    EXPECT_EQ(listed(other, 40).back(), coin.txid);
    EXPECT_EQ(listed(alice, 20).back(), txid_of(spend));
}

TEST_F(DevnetEndpointsTest, TxJsonCarriesOutputsAndOpReturnParts) {
    start();
    Key alice = keyOf('1'), bob = keyOf('2');
    const std::string payload = R"({"p":"OV-Dialo","kind":"invite"})";
    Coin coin = fund(alice, 10000);
    Bytes raw = buildSigned({coin}, {payTo(bob, 1), {0, data_output_script(payload)}}, alice);
    ASSERT_EQ(submitOracle(raw).status, 200);
    const std::string txid = txid_of(raw);

    for (const std::string& path : {"/oi/tx/" + txid, "/woc/v1/bsv/main/tx/" + txid}) {
        SCOPED_TRACE(path);
        Reply r = get(path);
        ASSERT_EQ(r.status, 200);
        ASSERT_TRUE(r.j["vout"].is_array());
        EXPECT_EQ(r.j["txid"], txid);
        const json& pay = r.j["vout"][0];
        EXPECT_DOUBLE_EQ(pay["value"].get<double>(), 0.00000001);
        EXPECT_EQ(pay["scriptPubKey"]["type"], "pubkeyhash");
        EXPECT_EQ(pay["scriptPubKey"]["addresses"], json::array({bob.address}));
        EXPECT_EQ(pay["scriptPubKey"]["isTruncated"], false);
        const json& data = r.j["vout"][1]["scriptPubKey"];
        EXPECT_EQ(data["type"], "nulldata");
        EXPECT_EQ(data["hex"], hex_encode(data_output_script(payload)));
        EXPECT_TRUE(data["asm"].get<std::string>().starts_with("0 OP_RETURN "));
        EXPECT_EQ(data["isTruncated"], false);
        EXPECT_EQ(data["opReturn"]["parts"], json::array({payload}));
        EXPECT_EQ(r.j["vin"][0]["txid"], coin.txid);
        EXPECT_EQ(r.j["vin"][0]["vout"], 0);
    }
    Reply decoded = woc("/tx/" + txid + "/decoded");
    EXPECT_EQ(decoded.j["vout"][0]["scriptPubKey"]["addresses"], json::array({bob.address}));
    Reply page = get("/explorer/tx/" + txid);
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.body.find(txid), std::string::npos);
    EXPECT_NE(page.body.find("<html>"), std::string::npos);

    EXPECT_EQ(get("/oi/tx/" + std::string(64, 'e')).status, 404);
    EXPECT_EQ(woc("/tx/" + std::string(64, 'e') + "/hex").status, 404);
}

TEST_F(DevnetEndpointsTest, UnspentListsPageAndFlagOutputsSpentInMempool) {
    start();  // two entries a page
    Key alice = keyOf('1'), bob = keyOf('2');
    std::vector<Coin> coins;
    for (int i = 0; i < 4; ++i) coins.push_back(fund(alice, 1000 + i));
    Bytes spend = buildSigned({coins[0]}, {payTo(bob, 500)}, alice);
    ASSERT_EQ(submitWoc(spend).status, 200);

    std::map<std::string, json> all;  // by txid: the four coins and the spend's change
    std::string token;
    int pages = 0;
    do {
        std::string path = "/address/" + alice.address + "/unspent/all";
        if (!token.empty()) path = httplib::append_query_params(path, {{"token", token}});
        Reply r = woc(path);
        ASSERT_EQ(r.status, 200) << r.body;
        EXPECT_LE(r.j["result"].size(), 2u);
        for (const json& u : r.j["result"]) all[u["tx_hash"].get<std::string>()] = u;
        token = r.j.value("nextPageToken", std::string());
    } while (!token.empty() && ++pages < 10);
    EXPECT_EQ(pages, 2);
    ASSERT_EQ(all.size(), 5u);
    EXPECT_EQ(all[coins[0].txid]["isSpentInMempoolTx"], true);
    EXPECT_EQ(all[coins[1].txid]["isSpentInMempoolTx"], false);
    EXPECT_EQ(all[coins[1].txid]["status"], "confirmed");
    EXPECT_EQ(all[coins[1].txid]["tx_pos"], 0);
    EXPECT_TRUE(all[coins[1].txid]["value"].is_number_integer());
    EXPECT_EQ(all[txid_of(spend)]["tx_pos"], 1);
    EXPECT_EQ(woc("/address/" + alice.address + "/unspent/all?token=garbage").status, 400);

    Reply shortForm = woc("/address/" + alice.address + "/unspent");
    ASSERT_EQ(shortForm.j.size(), 4u);
    for (const json& u : shortForm.j) EXPECT_NE(u["tx_hash"], coins[0].txid);
    Reply unconfirmed = woc("/address/" + alice.address + "/unconfirmed/unspent");
    ASSERT_EQ(unconfirmed.j["result"].size(), 1u);  // the change
    EXPECT_EQ(unconfirmed.j["result"][0]["tx_hash"], txid_of(spend));
    EXPECT_EQ(unconfirmed.j["result"][0]["isSpentInMempoolTx"], false);

    mine();
    std::set<std::string> left;
    Reply confirmed = woc("/address/" + alice.address + "/confirmed/unspent");
    for (const json& u : confirmed.j["result"]) left.insert(u["tx_hash"]);
    EXPECT_EQ(left, (std::set<std::string>{coins[1].txid, coins[2].txid, coins[3].txid, txid_of(spend)}));
}

TEST_F(DevnetEndpointsTest, BalancesAndHistorySplitConfirmedAndUnconfirmed) {
    start();
    Key alice = keyOf('1'), bob = keyOf('2');
    Coin coin = fund(alice, 10000);
    std::vector<TxOutput> outputs;
    Bytes spend = buildSigned({coin}, {payTo(bob, 3000)}, alice, 1, &outputs);
    ASSERT_EQ(outputs.size(), 2u);
    const int64_t change = outputs[1].sats;
    ASSERT_EQ(submitWoc(spend).status, 200);

    Reply r = post("/woc/v1/bsv/main/addresses/balance", {{"addresses", {alice.address, bob.address, "nonsense"}}});
    ASSERT_EQ(r.j.size(), 3u) << r.body;
    EXPECT_EQ(r.j[0]["address"], alice.address);
    EXPECT_EQ(r.j[0]["balance"], json({{"confirmed", 10000}, {"unconfirmed", change - 10000}}));
    EXPECT_EQ(r.j[1]["balance"], json({{"confirmed", 0}, {"unconfirmed", 3000}}));
    EXPECT_NE(r.j[2]["error"], "");

    EXPECT_EQ(woc("/address/" + alice.address + "/history").j,
              json({{{"height", 1}, {"tx_hash", coin.txid}}, {{"height", 0}, {"tx_hash", txid_of(spend)}}}));
    EXPECT_EQ(woc("/address/" + alice.address + "/unconfirmed/history").j["result"],
              json::array({{{"tx_hash", txid_of(spend)}}}));
    EXPECT_EQ(woc("/address/" + alice.address + "/confirmed/history").j["result"],
              json::array({{{"height", 1}, {"tx_hash", coin.txid}}}));

    mine();
    EXPECT_EQ(woc("/address/" + alice.address + "/balance").j, json({{"confirmed", change}, {"unconfirmed", 0}}));
}

TEST_F(DevnetEndpointsTest, BroadcastRoutesAnswerInTheirOwnShapes) {
    start();
    Key alice = keyOf('1'), bob = keyOf('2'), carol = keyOf('3');
    Bytes viaWoc = buildSigned({fund(alice, 10000)}, {payTo(bob, 1000)}, alice);
    Reply woc = submitWoc(viaWoc);
    ASSERT_EQ(woc.status, 200);
    EXPECT_EQ(woc.j, json(txid_of(viaWoc))) << "WhatsOnChain answers the txid as a JSON string";

    Coin coin = fund(alice, 10000);
    Bytes raw = buildSigned({coin}, {payTo(bob, 1000)}, alice);

    Reply ok = submitArc(raw);
    ASSERT_EQ(ok.status, 200) << ok.body;
    EXPECT_EQ(ok.j["txStatus"], "SEEN_ON_NETWORK");
    EXPECT_EQ(ok.j["txid"], txid_of(raw));

    Reply conflict = submitArc(buildSigned({coin}, {payTo(carol, 1000)}, alice));
    EXPECT_EQ(conflict.j["txStatus"], "DOUBLE_SPEND_ATTEMPTED");
    EXPECT_NE(conflict.j["extraInfo"].get<std::string>().find("mempool-conflict"), std::string::npos);

    Reply missing = submitArc(buildSigned({coinOf(alice, std::string(64, 'c'), 1, 5000)}, {payTo(bob, 1)}, alice));
    EXPECT_EQ(missing.j["txStatus"], "REJECTED");
    EXPECT_EQ(missing.j["extraInfo"], "Missing inputs");

    mine();
    Reply mined = submitArc(raw);
    EXPECT_EQ(mined.j["txStatus"], "MINED");
    EXPECT_EQ(get("/arc/v1/tx/" + txid_of(raw)).j["txStatus"], "MINED");

    Reply garbage = post("/arc/v1/tx", {{"rawTx", "00ff"}});
    EXPECT_GE(garbage.status, 400);
    EXPECT_EQ(garbage.j["txStatus"], "REJECTED");
}

TEST_F(DevnetEndpointsTest, UpdatePageAndPoundRate) {
    start();
    Reply page = get("/dialo/");
    ASSERT_EQ(page.status, 200);
    EXPECT_NE(page.body.find("Current Build: Version 0.002"), std::string::npos);
    Reply rate = get("/n-rate.json");
    ASSERT_TRUE(rate.j["gbp"].is_number());
    EXPECT_GT(rate.j["gbp"].get<double>(), 0);

    ASSERT_EQ(post("/devnet/settings", {{"published_version", "0.003"}, {"gbp", 55.5}}).status, 200);
    EXPECT_NE(get("/dialo/").body.find("Current Build: Version 0.003"), std::string::npos);
    EXPECT_DOUBLE_EQ(get("/n-rate.json").j["gbp"].get<double>(), 55.5);
}

TEST_F(DevnetEndpointsTest, FaultsHitTheNextCountRequestsOfTheirPrefixOnly) {
    start();
    Key alice = keyOf('1');
    Coin coin = fund(alice, 10000);
    const std::string oracle = "/oi/oracle/dialo/txids?address=" + alice.address + "&kind=all&limit=20";
    auto fault = [&](const json& rule) { ASSERT_EQ(post("/devnet/fault", rule).status, 200) << rule.dump(); };

    // A status with the default HTML body, twice, then the normal answer.
    fault({{"path_prefix", "/woc/v1/bsv/main/tx/"}, {"status", 503}, {"count", 2}});
    for (int i = 0; i < 2; ++i) {
        Reply r = woc("/tx/" + coin.txid);
        EXPECT_EQ(r.status, 503);
        EXPECT_NE(r.body.find("<html>"), std::string::npos);
    }
    EXPECT_EQ(woc("/tx/" + coin.txid).status, 200);

    // Its own body, on its prefix only.
    fault({{"path_prefix", "/oi/oracle/"}, {"status", 429}, {"body", R"({"error":"slow down"})"}});
    EXPECT_EQ(woc("/address/" + alice.address + "/balance").status, 200);
    Reply slow = get(oracle);
    EXPECT_EQ(slow.status, 429);
    EXPECT_EQ(slow.j["error"], "slow down");
    EXPECT_EQ(get(oracle).status, 200);

    // A dropped connection gives no answer at all; a delayed one still arrives.
    fault({{"path_prefix", "/woc/"}, {"drop", true}, {"count", 1}});
    Reply dropped = woc("/tx/" + coin.txid + "/hex");
    EXPECT_FALSE(dropped.reached) << dropped.status << " " << dropped.body;
    fault({{"path_prefix", "/woc/"}, {"delay_ms", 50}});
    EXPECT_EQ(woc("/tx/" + coin.txid + "/hex").status, 200);
    EXPECT_EQ(devnet.faults().pending(), 0u);

    // Cleared faults stop at once; a prefix must be a path.
    fault({{"path_prefix", "/n-rate.json"}, {"status", 500}, {"count", 5}});
    EXPECT_EQ(get("/n-rate.json").status, 500);
    EXPECT_EQ(post("/devnet/fault/clear", json::object()).status, 200);
    EXPECT_EQ(get("/n-rate.json").status, 200);
    EXPECT_EQ(post("/devnet/fault", {{"path_prefix", "no-slash"}, {"status", 500}}).status, 400);
}

TEST_F(DevnetEndpointsTest, CertificateNamesServiceDomainAndLoopbackAndTheCaStays) {
    start();
    std::ifstream in(dir_ / "tls" / "server.pem");
    const std::string pem((std::istreambuf_iterator<char>(in)), {});
    BIO* bio = BIO_new_mem_buf(pem.data(), int(pem.size()));
    X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    ASSERT_NE(cert, nullptr);
    EXPECT_EQ(X509_check_host(cert, "orvane.test", 0, 0, nullptr), 1);
    EXPECT_EQ(X509_check_host(cert, "localhost", 0, 0, nullptr), 1);
    EXPECT_EQ(X509_check_ip_asc(cert, "127.0.0.1", 0), 1);
    X509_free(cert);
    std::ifstream exported(options.caExportPath);
    const std::string ca = devnet.caPem();
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(exported)), {}), ca);
    restart();
    EXPECT_EQ(devnet.caPem(), ca);
    EXPECT_EQ(get("/n-rate.json").status, 200) << "the restarted server's certificate is signed by that CA";
}

TEST_F(DevnetEndpointsTest, NetworkObjectPointsAtTheRunningPortsThatNoSecondDevnetTakes) {
    start();
    DevnetOptions again = options;
    again.dataDir = (dir_ / "second").string();
    again.servicePort = devnet.servicePort();
    Devnet second;
    std::string error;
    EXPECT_FALSE(second.start(again, error));
    EXPECT_NE(error.find(std::to_string(devnet.servicePort())), std::string::npos) << error;

    json n = devnet.networkJson();
    const std::string base = "https://127.0.0.1:" + std::to_string(devnet.servicePort());
    EXPECT_EQ(n["service_port"], devnet.servicePort());
    EXPECT_EQ(n["directory_port"], devnet.directoryPort());
    EXPECT_EQ(n["woc_base"], base + "/woc/v1/bsv/main");
    EXPECT_EQ(n["arc_base"], base + "/arc");
    EXPECT_EQ(n["service_domain"], "orvane.test");
}

// A stop (Ctrl+C, a test's end) while the status page is being answered: the page names the
// DNS server's port, so the DNS server must outlive every handler. Under ThreadSanitizer the
// handler's read left unordered with the stop is reported whichever of the two comes first.
TEST_F(DevnetEndpointsTest, StopLetsAnAnswerInFlightEndBeforeClosingWhatItReads) {
    start();
    const int dnsPort = devnet.dnsPort();
    ASSERT_GT(dnsPort, 0);
    const size_t before = devnet.requestCount("service");
    Reply r;
    std::thread client([&] { r = get("/devnet/status"); });
    // Stop once the request has been read and counted, before routing: its handler is about to run.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (devnet.requestCount("service") == before && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const bool reached = devnet.requestCount("service") > before;
    devnet.stop();
    client.join();
    ASSERT_TRUE(reached) << "the request never reached the devnet";
    EXPECT_EQ(devnet.dnsPort(), 0);
    ASSERT_EQ(r.status, 200) << "the answer under way is finished, not cut";
    EXPECT_EQ(r.j["network"]["dns_server"], "127.0.0.1:" + std::to_string(dnsPort));
}

}  // namespace
}  // namespace dialo::devnet::test
