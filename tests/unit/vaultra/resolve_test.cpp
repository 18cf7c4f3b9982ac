// Destinations and identity keys via the devnet's directory and a second paymail domain (SRV, HTTPS).
#include <gtest/gtest.h>
#include <array>
#include <atomic>
#include <map>
#include "support/funded_wallet_fixture.h"
#include "tools/devnet/directory.h"
#include "vaultra/identity.h"
#include "vaultra/identity_lookup.h"
#include "vaultra/resolve.h"
#include "wallet/binding.h"
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
    const Bytes c = hex_decode(pubHex);
    PubKey65 full{};
    EXPECT_TRUE(uncompress_public_key(c.data(), c.size(), full));
    return hex_encode(full);
}
std::string scriptOf(const Key& k) { return hex_encode(p2pkh_script(k.hash)); }
// The paymail host's capability document, answered to whichever host of the domain asks.
json capabilities(const json& caps, const std::string& host = "") {
    json f = {{"path_prefix", "/.well-known/bsvalias"}, {"server", "paymail"}, {"status", 200}, {"count", 1000},
              {"body", json{{"bsvalias", "1.0"}, {"capabilities", caps}}.dump()}};
    if (host.empty()) f["count"] = 1;
    else f["host"] = host;
    return f;
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
// A host's answer decides where money goes: it may name one P2PKH output of the one satoshi asked.
TEST_F(ResolveTest, PaymailDestinationsAndTheirRefusals) {
    const Key alice = keyOf('1'), bob = keyOf('2');
    host("alice", alice);
    host("bob", bob);
    const std::string basic = "https://paymail.test/api/destination/{alias}@{domain.tld}";
    auto p2pAnswer = [](const json& outputs) {
        return json{{"path_prefix", "/api/p2p-destination/"}, {"server", "paymail"}, {"status", 200},
                    {"body", json{{"outputs", outputs}, {"reference", "ref"}}.dump()}};
    };
    auto out = [](const Key& k, int sats) { return json{{"script", scriptOf(k)}, {"satoshis", sats}}; };
    json many = json::array({out(alice, 1)});
    for (int i = 1; i < 21; ++i) many.push_back(out(alice, 0));
    const std::string couldNot = "could not resolve alice@paymail.test";
    const struct {
        const char* what;
        std::vector<json> faults;
        std::string input, address, error;
    } rows[] = {
        {"P2P destination", {}, " Alice@Paymail.test", alice.address, ""},
        {"basic destination without the P2P capability", {capabilities({{"paymentDestination", basic}})},
         "alice@paymail.test", alice.address, ""},
        {"21 outputs", {p2pAnswer(many)}, "alice@paymail.test", "", "that paymail host asked for too many outputs"},
        {"2 satoshis asked where 1 was", {p2pAnswer(json::array({out(alice, 2)}))}, "alice@paymail.test", "",
         "that paymail host returned a different amount"},
        {"two outputs", {p2pAnswer({out(alice, 1), out(bob, 0)})}, "alice@paymail.test", "",
         "that paymail host asked for more than one output"},
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
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        for (const json& f : row.faults) inject(f);
        std::string error;
        EXPECT_EQ(resolve(row.input, error).address, row.address);
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
    for (const std::string& input : {alias64 + "a@paymail.test", std::string("alice@paymailtest"), std::string("alice@.paymail.test"),
                                    std::string("alice@paymail..test"), std::string("al!ce@paymail.test"),
                                    std::string("alice@paymail.test."), alias64 + "@paymail.test"}) {
        SCOPED_TRACE(input);
        const bool wellFormed = input == alias64 + "@paymail.test";  // asked for, and unknown
        const Counts before = counts();
        std::string error;
        EXPECT_TRUE(resolve(input, error).address.empty());
        EXPECT_EQ(error, wellFormed ? "could not resolve " + input : "could not resolve that paymail");
        EXPECT_EQ(counts() != before, wellFormed) << "whether a request reached any server";
    }
}
TEST_F(ResolveTest, SrvChoosesTheLowestPriorityOnPort443) {
    // Each host names an alias of its own in its document, so the address says which was asked.
    const std::map<std::string, Key> hosts = {
        {"paymail.test", keyOf('1')}, {"a.paymail.test", keyOf('2')}, {"b.paymail.test", keyOf('3')}, {"c.paymail.test", keyOf('4')}};
    for (const auto& [name, key] : hosts) {
        host("via-" + name, key);
        inject(capabilities({{"2a40af698840", "https://paymail.test/api/p2p-destination/via-" + name + "@paymail.test"}}, name));
    }
    // d.paymail.test is named by DNS but its document fails: the domain itself is asked next.
    inject({{"path_prefix", "/.well-known/bsvalias"}, {"server", "paymail"}, {"host", "d.paymail.test"}, {"status", 503}, {"count", 1000}});
    const struct {
        std::vector<devnet::SrvRecord> records;
        std::string target, asked;  // srv_lookup's answer; the host whose document was used
    } rows[] = {
        {{}, "", "paymail.test"},
        {{{10, 0, 443, "a.paymail.test"}, {5, 0, 443, "b.paymail.test"}}, "b.paymail.test", "b.paymail.test"},
        {{{1, 0, 8443, "c.paymail.test"}, {10, 0, 443, "a.paymail.test"}, {5, 0, 443, "b.paymail.test."}}, "b.paymail.test", "b.paymail.test"},
        {{{5, 9, 443, "b.paymail.test"}, {5, 0, 443, "a.paymail.test"}}, "a.paymail.test", "a.paymail.test"},
        {{{1, 0, 443, "d.paymail.test"}}, "d.paymail.test", "paymail.test"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.target + " / " + row.asked);
        std::string error;
        ASSERT_TRUE(devnet.setSrvRecords(kPaymailDomain, row.records, error)) << error;
        EXPECT_EQ(srv_lookup(kPaymailDomain), row.target);
        EXPECT_EQ(resolve("anyone@paymail.test", error).address, hosts.at(row.asked).address) << error;
    }
}
// The local directory is asked over verified TLS too: an impostor is HttpTest's uncertified server.
TEST_F(ResolveTest, HandlesGoThroughThePlatformDirectory) {
    const Key aliceId = keyOf('a'), alicePay = keyOf('b');
    claim("alice", aliceId, alicePay);
    const std::string unsure = "enter a handle, paymail, or 1-address.";
    const std::pair<const char*, std::string> rows[] = {
        {"$Alice", ""}, {"@alice", ""}, {" alice ", ""}, {"ALICE@Orvane.Test\n", ""},
        {"", unsure}, {" @$@ ", unsure}, {"nobody", "could not resolve nobody@orvane.test"},
    };
    std::string error;
    for (const auto& [input, refusal] : rows) {
        EXPECT_EQ(resolve(input, error).address, refusal.empty() ? alicePay.address : "") << input;
        EXPECT_EQ(error, refusal) << input;
    }
    // An address is its own destination, case kept, without asking anyone.
    const std::string address = keyOf('c').address;
    Counts before = counts();
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
}
TEST_F(ResolveTest, IdentityKeysAreCachedForThirtyMinutesAndOutliveAnOutageForADay) {
    setClockSource({fakeMonotonicMs, nullptr, noSleep});
    const Key alice = keyOf('a'), bob = keyOf('c');
    claim("alice", alice, keyOf('b'));
    claim("bob", bob, keyOf('d'));
    size_t start = devnet.requestCount("service");
    auto asked = [&] { return devnet.requestCount("service") - start; };
    auto idFault = [this](const std::string& who, int status, const std::string& body = "") {
        inject({{"path_prefix", "/api/bsvalias/id/" + who + "@"}, {"status", status}, {"body", body}, {"count", 1}});
    };
    EXPECT_EQ(identity_lookup("@Alice"), alice.pub);
    EXPECT_EQ(identity_lookup("$ALICE", "alice@orvane.test"), alice.pub);
    EXPECT_EQ(identity_lookup("alice", "bob@paymail.test"), alice.pub) << "another alias's paymail is ignored";
    EXPECT_EQ(identity_lookup("alice", "Alice@paymail.test"), "") << "the actor on another domain";
    EXPECT_EQ(asked(), 1u) << "one request for all";
    gFakeMs += 1800 * 1000 - 1;
    EXPECT_EQ(identity_lookup("alice"), alice.pub);
    EXPECT_EQ(asked(), 1u);
    gFakeMs += 1;
    EXPECT_EQ(identity_lookup("alice"), alice.pub);
    EXPECT_EQ(asked(), 2u) << "thirty minutes on, the key is asked again";
    // A malformed key is not kept: the next call asks again. An uncompressed key comes back compressed.
    idFault("bob", 200, R"({"pubkey":"02zz"})");
    EXPECT_EQ(identity_lookup("bob"), "");
    EXPECT_EQ(identity_lookup("bob"), bob.pub);
    EXPECT_EQ(asked(), 4u);
    idFault("carol", 200, json{{"pubkey", 5}, {"publicKey", " 0x" + uncompressed(keyOf('e').pub)}}.dump());
    EXPECT_EQ(identity_lookup("carol"), keyOf('e').pub);
    // Directory down when due: the last good key serves a day, asked again at most once a minute.
    gFakeMs += 1800 * 1000;
    start = devnet.requestCount("service");
    idFault("alice", 503);
    EXPECT_EQ(identity_lookup("alice"), alice.pub);
    EXPECT_EQ(identity_lookup("alice"), alice.pub);
    EXPECT_EQ(asked(), 1u);
    gFakeMs += 60 * 1000;
    idFault("alice", 503);
    EXPECT_EQ(identity_lookup("alice"), alice.pub);
    EXPECT_EQ(asked(), 2u);
    gFakeMs += 24 * 3600 * 1000;
    idFault("alice", 503);
    EXPECT_EQ(identity_lookup("alice"), "") << "not after a day";
    // A dead directory makes nobody a stranger; a stranger costs one question a minute unless the user asks.
    start = devnet.requestCount("service");
    idFault("bob", 503);
    gFakeMs += 1800 * 1000;
    EXPECT_FALSE(identity_matches("bob", bob.pub, "", true));
    EXPECT_TRUE(identity_matches("bob", bob.pub, "", true));
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(identity_matches("zed", alice.pub, "", true));
    EXPECT_EQ(asked(), 3u);
    EXPECT_EQ(identity_lookup("zed"), "");
    EXPECT_EQ(asked(), 4u);
    gFakeMs += 60 * 1000;
    EXPECT_FALSE(identity_matches("zed", alice.pub, "", true));
    EXPECT_EQ(asked(), 5u);
    std::string upper = alice.pub;
    for (char& c : upper) c = char(std::toupper(uint8_t(c)));
    EXPECT_TRUE(identity_matches("alice", upper));
    EXPECT_TRUE(identity_matches("@alice", uncompressed(alice.pub)));
    EXPECT_FALSE(identity_matches("alice", bob.pub));
    EXPECT_FALSE(identity_matches("alice", "02zz"));
    EXPECT_FALSE(identity_matches("nobody", alice.pub));
}
}  // namespace
}  // namespace dialo
