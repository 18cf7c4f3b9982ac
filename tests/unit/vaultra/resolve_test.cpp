// Destinations and identity keys resolved against the in-process devnet: the platform's own
// directory for handles, and a second paymail domain reached through its own DNS server (SRV)
// and HTTPS host, with the answers bent by injected faults.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <map>
#include <memory>

#include "support/funded_wallet_fixture.h"
#include "base/detached.h"
#include "tools/devnet/directory.h"
#include "tools/devnet/tls.h"
#include "vaultra/identity.h"
#include "vaultra/identity_lookup.h"
#include "vaultra/resolve.h"
#include "wallet/binding.h"
#include "state/ui_bridge.h"
#include "wallet/secp256k1.h"

namespace dialo {
namespace {

using devnet::test::Key;
using devnet::test::keyOf;
using nlohmann::json;

constexpr char kPaymailDomain[] = "paymail.test";

std::atomic<uint64_t> gFakeMs{1000};
uint64_t fakeMonotonicMs() { return gFakeMs; }
void noSleep(uint32_t) {}

std::string uncompressed(const std::string& pubHex) {
    Bytes c = hex_decode(pubHex);
    PubKey65 full{};
    EXPECT_TRUE(uncompress_public_key(c.data(), c.size(), full));
    return hex_encode(full);
}

std::string upper(std::string s) {
    for (char& c : s) c = char(std::toupper(uint8_t(c)));
    return s;
}

std::string scriptOf(const Key& k) { return hex_encode(p2pkh_script(k.hash)); }

std::string capabilityDocument(const json& capabilities) {
    return json{{"bsvalias", "1.0"}, {"capabilities", capabilities}}.dump();
}

class ResolveTest : public test::FundedWalletTest {
protected:
    using Counts = std::array<size_t, 4>;

    Counts counts() const {
        return {devnet.requestCount("service"), devnet.requestCount("directory"), devnet.requestCount("paymail"),
                devnet.requestCount("dns")};
    }

    /// Publishes a handle on the platform as the phone's claim does, signed by its identity key.
    void claim(const std::string& alias, const Key& identity, const Key& pay, const std::string& avatar = "") {
        devnet::test::Reply r = post("/api/paymail/claim", devnet::test::signedClaim(alias, identity, pay, avatar));
        ASSERT_EQ(r.status, 200) << r.body;
    }

    /// An alias on the second paymail domain, paid at the key's address.
    void host(const std::string& alias, const Key& pay) {
        std::string error;
        ASSERT_TRUE(devnet.directory().hostAlias(alias, pay.address, error)) << error;
    }

    Resolution resolve(const std::string& text, std::string& error) {
        return resolve_destination(text, 5000, "me@orvane.test", error);
    }
};

TEST_F(ResolveTest, PaymailDestinationsAndTheirRefusals) {
    const Key alice = keyOf('1'), bob = keyOf('2');
    host("alice", alice);
    host("bob", bob);
    const std::string api = "https://paymail.test/api/";
    const std::string basic = api + "destination/{alias}@{domain.tld}";
    auto capabilities = [](const json& caps) {
        return json{{"path_prefix", "/.well-known/bsvalias"}, {"server", "paymail"}, {"status", 200},
                    {"body", capabilityDocument(caps)}};
    };
    auto p2pAnswer = [](const json& outputs) {
        return json{{"path_prefix", "/api/p2p-destination/"}, {"server", "paymail"}, {"status", 200},
                    {"body", json{{"outputs", outputs}, {"reference", "ref"}}.dump()}};
    };
    json many = json::array();
    for (int i = 0; i < 21; ++i) many.push_back({{"script", scriptOf(alice)}, {"satoshis", i == 0 ? 1 : 0}});
    const std::string couldNot = "could not resolve alice@paymail.test";

    struct Row {
        const char* what;
        std::vector<json> faults;
        std::string input;
        std::string address;
        std::string error;
    };
    const std::vector<Row> rows = {
        {"P2P destination", {}, " Alice@Paymail.test", alice.address, ""},
        {"basic destination when the P2P capability is absent", {capabilities({{"paymentDestination", basic}})},
         "alice@paymail.test", alice.address, ""},
        {"21 outputs", {p2pAnswer(many)}, "alice@paymail.test", "", "that paymail host asked for too many outputs"},
        {"2 satoshis asked where 1 was", {p2pAnswer({{{"script", scriptOf(alice)}, {"satoshis", 2}}})},
         "alice@paymail.test", "", "that paymail host returned a different amount"},
        {"two outputs",
         {p2pAnswer({{{"script", scriptOf(alice)}, {"satoshis", 1}}, {{"script", scriptOf(bob)}, {"satoshis", 0}}})},
         "alice@paymail.test", "", "that paymail host asked for more than one output"},
        {"no P2PKH output", {p2pAnswer({{{"script", "6a0568656c6c6f"}, {"satoshis", 1}}})}, "alice@paymail.test", "",
         "that paymail host did not return a payment address"},
        {"a P2P template on another host is passed over for the basic one",
         {capabilities({{"2a40af698840", "https://x.paymail.test/api/p2p-destination/bob@paymail.test"},
                        {"paymentDestination", basic}})},
         "alice@paymail.test", alice.address, ""},
        {"a template whose authority is not exactly the host",
         {capabilities({{"2a40af698840", "https://paymail.test:443/api/p2p-destination/bob@paymail.test"},
                        {"paymentDestination", 7}})},
         "alice@paymail.test", "", couldNot},
        {"no capability document", {{{"path_prefix", "/.well-known/bsvalias"}, {"server", "paymail"}, {"status", 404}}},
         "alice@paymail.test", "", couldNot},
        {"an alias the host does not know", {}, "nobody@paymail.test", "", "could not resolve nobody@paymail.test"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        for (const json& f : row.faults) inject(f);
        std::string error;
        Resolution r = resolve(row.input, error);
        EXPECT_EQ(r.address, row.address);
        EXPECT_EQ(error, row.error);
        EXPECT_EQ(devnet.faults().pending(), 0u) << "every injected answer was asked for";
        devnet.faults().clear();
    }

    // A P2P destination carries the host's reference and where it takes the transaction.
    std::string error;
    Resolution p2p = resolve("alice@paymail.test", error);
    EXPECT_EQ(p2p.reference.size(), 32u) << error;
    EXPECT_EQ(p2p.receiveUrl, "https://paymail.test/api/receive-tx/alice@paymail.test");
    inject(capabilities({{"paymentDestination", basic}}));
    EXPECT_TRUE(resolve("alice@paymail.test", error).reference.empty());
}

TEST_F(ResolveTest, MalformedPaymailsFailBeforeAnyRequest) {
    const std::string alias64(64, 'a');
    // Only the last is asked for, of the DNS server and the paymail host (which know no such alias).
    for (const std::string& input :
         {alias64 + "a@paymail.test", std::string("alice@paymailtest"), std::string("alice@.paymail.test"),
          std::string("alice@paymail..test"), std::string("al!ce@paymail.test"), std::string("alice@paymail.test."),
          alias64 + "@paymail.test"}) {
        SCOPED_TRACE(input);
        const bool wellFormed = input == alias64 + "@paymail.test";
        const Counts before = counts();
        std::string error;
        EXPECT_TRUE(resolve(input, error).address.empty());
        EXPECT_EQ(error, wellFormed ? "could not resolve " + input : "could not resolve that paymail");
        EXPECT_EQ(counts() != before, wellFormed) << "whether a request reached any server";
    }
}

TEST_F(ResolveTest, SrvChoosesTheLowestPriorityOnPort443) {
    // Every host the lookup might use answers a capability document naming an alias of its own,
    // so the address says which host was asked.
    const std::map<std::string, Key> hosts = {
        {"paymail.test", keyOf('1')}, {"a.paymail.test", keyOf('2')}, {"b.paymail.test", keyOf('3')},
        {"c.paymail.test", keyOf('4')}};
    for (const auto& [name, key] : hosts) {
        const std::string alias = "via-" + name;
        host(alias, key);
        const std::string p2p = "https://paymail.test/api/p2p-destination/" + alias + "@paymail.test";
        inject({{"path_prefix", "/.well-known/bsvalias"}, {"server", "paymail"}, {"host", name},
                {"status", 200}, {"body", capabilityDocument({{"2a40af698840", p2p}})}, {"count", 1000}});
    }
    // d.paymail.test is named by DNS but its document fails: the domain itself is asked next.
    inject({{"path_prefix", "/.well-known/bsvalias"}, {"server", "paymail"}, {"host", "d.paymail.test"},
            {"status", 503}, {"count", 1000}});

    struct Row {
        std::vector<devnet::SrvRecord> records;
        std::string target;  // srv_lookup's answer
        std::string asked;   // the host whose document was used
    };
    const std::vector<Row> rows = {
        {{}, "", "paymail.test"},
        {{{10, 0, 443, "a.paymail.test"}, {5, 0, 443, "b.paymail.test"}}, "b.paymail.test", "b.paymail.test"},
        {{{5, 0, 443, "b.paymail.test."}, {10, 0, 443, "a.paymail.test"}}, "b.paymail.test", "b.paymail.test"},
        {{{1, 0, 8443, "c.paymail.test"}, {10, 0, 443, "a.paymail.test"}, {5, 0, 443, "b.paymail.test"}},
         "b.paymail.test", "b.paymail.test"},
        {{{5, 0, 443, "a.paymail.test"}, {5, 9, 443, "b.paymail.test"}}, "b.paymail.test", "b.paymail.test"},
        {{{5, 9, 443, "b.paymail.test"}, {5, 0, 443, "a.paymail.test"}}, "a.paymail.test", "a.paymail.test"},
        {{{1, 0, 8443, "c.paymail.test"}}, "", "paymail.test"},
        {{{1, 0, 443, "d.paymail.test"}}, "d.paymail.test", "paymail.test"},
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE("row " + std::to_string(i));
        std::string error;
        ASSERT_TRUE(devnet.setSrvRecords(kPaymailDomain, rows[i].records, error)) << error;
        EXPECT_EQ(srv_lookup(kPaymailDomain), rows[i].target);
        EXPECT_EQ(resolve("anyone@paymail.test", error).address, hosts.at(rows[i].asked).address) << error;
    }
}

TEST_F(ResolveTest, HandlesGoThroughThePlatformDirectory) {
    const Key aliceId = keyOf('a'), alicePay = keyOf('b');
    claim("alice", aliceId, alicePay);
    const std::string unsure = "enter a handle, paymail, or 1-address.";
    const std::pair<const char*, std::string> rows[] = {
        {"$Alice", ""}, {"@alice", ""}, {" alice ", ""}, {"alice@orvane.test", ""}, {"ALICE@Orvane.Test\n", ""},
        {"", unsure}, {" @$@ ", unsure}, {"nobody", "could not resolve nobody@orvane.test"},
    };
    for (const auto& [input, refusal] : rows) {
        SCOPED_TRACE(input);
        std::string error;
        EXPECT_EQ(resolve(input, error).address, refusal.empty() ? alicePay.address : "");
        EXPECT_EQ(error, refusal);
    }

    // An address is its own destination, case kept, without asking anyone.
    const std::string address = keyOf('c').address;
    Counts before = counts();
    std::string error;
    EXPECT_EQ(resolve(" " + address, error).address, address);
    EXPECT_EQ(counts(), before);

    // The platform host unreachable: the directory on this machine answers.
    inject({{"path_prefix", "/api/bsvalias/address/"}, {"server", "service"}, {"drop", true}});
    before = counts();
    EXPECT_EQ(resolve("alice", error).address, alicePay.address) << error;
    EXPECT_EQ(counts()[1], before[1] + 1);
    inject({{"path_prefix", "/api/bsvalias/address/"}, {"status", 503}, {"count", 2}});
    EXPECT_TRUE(resolve("alice", error).address.empty());
    EXPECT_EQ(error, "could not resolve alice@orvane.test");
    EXPECT_EQ(devnet.faults().pending(), 0u) << "both directories were asked";

    // Another local user listening on the directory's port, with a certificate of their own,
    // would name where the call's payments go: the answer is not believed.
    devnet::TlsFiles theirs;
    ASSERT_TRUE(devnet::ensureTlsFiles(dir_.string() + "/impostor", "orvane.test", kPaymailDomain, theirs, error)) << error;
    httplib::SSLServer impostor(theirs.serverCertPath.c_str(), theirs.serverKeyPath.c_str());
    impostor.Get(".*", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(json{{"address", keyOf('e').address}}.dump(), "application/json");
    });
    const int impostorPort = impostor.bind_to_any_port("127.0.0.1");
    ASSERT_GT(impostorPort, 0);
    std::thread serving([&impostor] { impostor.listen_after_bind(); });
    ASSERT_TRUE(waitFor([&impostor] { return impostor.is_running(); }, std::chrono::seconds(30)));
    json network = devnet.networkJson();
    network["directory_port"] = impostorPort;
    applyConfigDocument(json{{"network", network}});
    inject({{"path_prefix", "/api/bsvalias/address/"}, {"server", "service"}, {"drop", true}});
    EXPECT_TRUE(resolve("alice", error).address.empty());
    EXPECT_EQ(error, "could not resolve alice@orvane.test");
    impostor.stop();
    serving.join();
    applyConfigDocument(json{{"network", devnet.networkJson()}});

    {
        auto g = lockWallet();
        reset_wallet_state(g.state);
        set_bound_wallet_id(g.state, "");
    }
    EXPECT_TRUE(resolve("alice", error).address.empty());
    EXPECT_EQ(error, "no Vaultra wallet. Create first.");
}

TEST_F(ResolveTest, IdentityKeysAreCachedForThirtyMinutesAndOutliveAnOutageForADay) {
    setClockSource({fakeMonotonicMs, nullptr, noSleep});
    const Key alice = keyOf('a'), bob = keyOf('c');
    claim("alice", alice, keyOf('b'));
    claim("bob", bob, keyOf('d'));

    size_t asked = devnet.requestCount("service");
    EXPECT_EQ(identity_lookup("@Alice"), alice.pub);
    EXPECT_EQ(identity_lookup(" alice "), alice.pub);
    EXPECT_EQ(identity_lookup("$ALICE", "alice@orvane.test"), alice.pub);
    EXPECT_EQ(identity_lookup("alice", "bob@paymail.test"), alice.pub) << "another alias's paymail is ignored";
    EXPECT_EQ(devnet.requestCount("service"), asked + 1) << "one request for all four";
    EXPECT_EQ(identity_lookup("alice", "Alice@paymail.test"), "") << "the actor on another domain";
    EXPECT_EQ(devnet.requestCount("service"), asked + 1);

    gFakeMs += 1800 * 1000 - 1;
    EXPECT_EQ(identity_lookup("alice"), alice.pub);
    EXPECT_EQ(devnet.requestCount("service"), asked + 1);
    gFakeMs += 1;
    EXPECT_EQ(identity_lookup("alice"), alice.pub);
    EXPECT_EQ(devnet.requestCount("service"), asked + 2) << "thirty minutes on, the key is asked again";

    // A malformed key is not kept: the next call asks again.
    asked = devnet.requestCount("service");
    inject({{"path_prefix", "/api/bsvalias/id/bob@"}, {"status", 200}, {"body", R"({"pubkey":"02zz"})"}});
    EXPECT_EQ(identity_lookup("bob"), "");
    EXPECT_EQ(identity_lookup("bob"), bob.pub);
    EXPECT_EQ(devnet.requestCount("service"), asked + 2);

    // An uncompressed key, under the other name, comes back compressed.
    inject({{"path_prefix", "/api/bsvalias/id/carol@"},
            {"status", 200},
            {"body", json{{"pubkey", 5}, {"publicKey", " 0x" + uncompressed(keyOf('e').pub)}}.dump()}});
    EXPECT_EQ(identity_lookup("carol"), keyOf('e').pub);

    // The directory down when the key is due again: the last good key serves up to a day,
    // asked again at most once a minute meanwhile.
    gFakeMs += 1800 * 1000;
    asked = devnet.requestCount("service");
    inject({{"path_prefix", "/api/bsvalias/id/alice@"}, {"status", 503}, {"count", 2}});
    EXPECT_EQ(identity_lookup("alice"), alice.pub);
    EXPECT_EQ(identity_lookup("alice"), alice.pub);
    EXPECT_EQ(devnet.requestCount("service"), asked + 1);
    gFakeMs += 60 * 1000;
    EXPECT_EQ(identity_lookup("alice"), alice.pub);
    EXPECT_EQ(devnet.requestCount("service"), asked + 2);
    gFakeMs += 24 * 3600 * 1000;
    inject({{"path_prefix", "/api/bsvalias/id/alice@"}, {"status", 503}, {"count", 1}});
    EXPECT_EQ(identity_lookup("alice"), "") << "not after a day";

    // A directory that cannot answer makes nobody a stranger.
    asked = devnet.requestCount("service");
    inject({{"path_prefix", "/api/bsvalias/id/bob@"}, {"status", 503}, {"count", 1}});
    gFakeMs += 1800 * 1000;
    EXPECT_FALSE(identity_matches("bob", bob.pub, "", true));
    EXPECT_TRUE(identity_matches("bob", bob.pub, "", true));
    EXPECT_EQ(devnet.requestCount("service"), asked + 2);

    // A flood of events naming a stranger costs one question a minute.
    asked = devnet.requestCount("service");
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(identity_matches("zed", alice.pub, "", true));
    EXPECT_EQ(devnet.requestCount("service"), asked + 1);
    EXPECT_EQ(identity_lookup("zed"), "") << "a lookup the user asked for asks anyway";
    EXPECT_EQ(devnet.requestCount("service"), asked + 2);
    gFakeMs += 60 * 1000;
    EXPECT_FALSE(identity_matches("zed", alice.pub, "", true));
    EXPECT_EQ(devnet.requestCount("service"), asked + 3);

    EXPECT_TRUE(identity_matches("alice", upper(alice.pub)));
    EXPECT_TRUE(identity_matches("@alice", uncompressed(alice.pub)));
    EXPECT_FALSE(identity_matches("alice", bob.pub));
    EXPECT_FALSE(identity_matches("alice", "02zz"));
    EXPECT_FALSE(identity_matches("nobody", alice.pub));
}

TEST_F(ResolveTest, AvatarBytesArriveInTheBackgroundOnlyAsPngOrJpeg) {
    // Shared with the fetching threads, which may outlive a failed test.
    auto ready = std::make_shared<std::atomic<int>>(0);
    setUiReceiver(UiTarget::Cards, [ready](UiMessage m, intptr_t, intptr_t) {
        if (m == UiMessage::AvatarReady) ++*ready;
    });
    // Stored undecoded for the window to decode, when they begin as a PNG or a JPEG does.
    const struct {
        const char* handle;
        std::string body;
        bool kept;
    } rows[] = {
        {"alice", "\x89PNG\r\n\x1a\n01234567", true},  // the smallest kept: 16 bytes
        {"bob", "\xFF\xD8\xFF\xE0" "0123456789ab", true},
        {"carol", "GIF89a0123456789ab", false},
        {"dave", R"(<svg xmlns="http://www.w3.org/2000/svg"/>)", false},
    };
    ASSERT_EQ(rows[0].body.size(), 16u);
    char key = '1';  // a hex digit: the key is 64 of it
    for (const auto& row : rows) {
        // A path the devnet serves, one per handle, so each fetch takes its own body.
        const std::string path = std::string("/api/paymail/quota/") + row.handle + "-picture";
        inject({{"path_prefix", path}, {"status", 200}, {"body", row.body}, {"content_type", "image/png"}});
        claim(row.handle, keyOf(key), keyOf(char(key + 1)), service_url(path));
        key = char(key + 2);
        EXPECT_TRUE(avatar_for(row.handle).empty());
        request_avatar(std::string("@") + row.handle);
    }
    ASSERT_TRUE(waitForDetached(20000));
    for (const auto& row : rows)
        EXPECT_EQ(avatar_for(row.handle), row.kept ? Bytes(row.body.begin(), row.body.end()) : Bytes()) << row.handle;
    EXPECT_EQ(ready->load(), 2) << "the window hears of each picture kept";
    EXPECT_EQ(devnet.faults().pending(), 0u);
    setUiReceiver(UiTarget::Cards, {});
}

}  // namespace
}  // namespace dialo
