// The shared wallet file; killed writers are e2e.crash_loop's, locked connect e2e.vaultra_connect's.
#include <gtest/gtest.h>
#include "support/vault_fixture.h"
#include "vaultra/connect.h"
#include "wallet/binding.h"
#include "wallet/keys.h"
#include "wallet/wallet_file.h"
#include "wallet/wallet_lock.h"

namespace dialo {
namespace {
using nlohmann::json;
class WalletFileTest : public test::VaultTest {
protected:
    // Binds this process to one wallet, as start-up does when the index holds only it.
    void bindOnly(const json& doc) {
        addWallet("w1", doc);
        bind_instance("/opt/dialo", "Dialo");
        ASSERT_EQ(bound_wallet_id(), "w1");
    }
    // Vaultra writes the file; the phone reads it as it would after a start.
    bool reload(const std::string& text) {
        writeText(walletFile("w1"), text);
        auto g = lockWallet();
        reset_wallet_state(g.state);
        return load_wallet(g.state);
    }
};
TEST_F(WalletFileTest, AccountCountsAndReceiveIndexAreReadAsStoredCappedAndOnlyRaised) {
    const struct {
        json recv;
        int show;
        std::array<uint32_t, 6> counts;
        uint32_t receiveIndex;
    } cases[] = {
        {{0, 5, "x", 2}, 9, {0, 5, 0, 2, 0, 0}, 5},  // show 9 is beyond account count 5
        {{4e9, 1, 0, 0, 0, 5e12}, 1, {100000, 1, 0, 0, 0, 100000}, 1},
    };
    json doc = hdWallet();
    bindOnly(doc);
    for (const auto& c : cases) {
        doc["recv"] = c.recv;
        doc["show"] = c.show;
        ASSERT_TRUE(reload(doc.dump()));
        auto g = lockWallet();
        EXPECT_EQ(g.state.keys.counts, c.counts);
        KeyTriple expect;
        ASSERT_TRUE(derive_key(g.state.keys, wallet_path(1, c.receiveIndex), expect));
        EXPECT_EQ(g.state.keys.defaultKey.address, expect.address);
    }
    // A reload while loaded never lowers a count nor passes the bound, and takes the handle.
    doc["recv"] = json::array({3, 0, 4e9, 0, 0, 0});
    doc["paymail"] = "alice";
    writeText(walletFile("w1"), doc.dump());
    auto g = lockWallet();
    reload_wallet_counts(g.state);
    EXPECT_EQ(g.state.keys.counts, (std::array<uint32_t, 6>{100000, 1, 100000, 0, 0, 100000}));
    EXPECT_EQ(g.state.paymail, "alice");
}
TEST_F(WalletFileTest, LockedOrBrokenFilesNeverLoad) {
    json locked = hdWallet(), badWords = hdWallet();
    locked["lock"] = "OV-LOCK1";  // a lock marker wins over a readable phrase
    badWords["mnemonic"] = "abandon abandon abandon";
    bindOnly(hdWallet());
    for (const std::string& text : {locked.dump(), json{{"priv", std::string(63, 'a')}}.dump(), badWords.dump(), std::string("{\"mnemonic\": ")}) {
        EXPECT_FALSE(reload(text)) << text;
        auto g = lockWallet();
        EXPECT_FALSE(g.state.loaded);
        EXPECT_TRUE(g.state.keys.mnemonic.empty()) << "a refused phrase is not kept";
    }
    ASSERT_TRUE(reload(json{{"priv", std::string(63, '0') + "1"}, {"paymail", "bob"}}.dump())) << "a single-key wallet";
    auto g = lockWallet();
    EXPECT_FALSE(g.state.keys.hd);
    EXPECT_EQ(g.state.keys.defaultKey.address, "1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH");
}
TEST_F(WalletFileTest, SavingKeepsThePhraseUnknownKeysAndWritesVersion2) {
    json doc = hdWallet();
    doc.erase("version");
    doc["vaultra_theme"] = "dark";
    doc["ord_owned"] = json::array({{{"origin", "o1"}, {"amt", 1}}});
    doc["contacts"] = json::array({{{"dest", "carol"}}, 7, {{"note", "no dest"}}, {{"dest", "@"}}, {{"dest", " @Dave "}, {"note", "  hi  "}}});
    bindOnly(doc);
    auto g = lockWallet();
    ASSERT_TRUE(load_wallet(g.state));
    ASSERT_TRUE(save_wallet(g.state));
    json saved = readJson(walletFile("w1"));
    EXPECT_EQ(saved["version"], 2);
    EXPECT_EQ(saved["mnemonic"], test::kAbandon);
    EXPECT_EQ(saved["vaultra_theme"], "dark");
    EXPECT_EQ(saved["ord_owned"], doc["ord_owned"]);
    EXPECT_EQ(saved["identity"], "1Hg7Jm7G3DUetk4vxbAdjSf49qq3zbp8g6");
    EXPECT_EQ(saved["contacts"], json::array({{{"dest", "carol"}}, {{"dest", "dave"}, {"note", "hi"}}})) << "bad entries skipped";
}
TEST_F(WalletFileTest, LockEnvelopeRefusesChangedFieldsAndIsNeverSavedOver) {
    bindOnly(hdWallet());
    auto g = lockWallet();
    ASSERT_TRUE(load_wallet(g.state));
    const std::string text = hdWallet().dump();
    json envelope;
    std::string plain;
    ASSERT_TRUE(lock_wallet_text(text, "correct horse", envelope));
    ASSERT_TRUE(unlock_wallet_text(envelope, "correct horse", plain));
    EXPECT_EQ(plain, text);
    for (const auto& [field, value] : {std::pair<const char*, json>{"iter", 9999}, {"iter", 5000001}, {"salt", "00"}, {"ct", ""}}) {
        json bad = envelope;
        bad[field] = value;
        EXPECT_FALSE(is_locked_envelope(bad)) << field << " " << value;
    }
    json bad = envelope;
    std::string tag = bad["tag"];
    bad["tag"] = (tag[0] == '0' ? "1" : "0") + tag.substr(1);
    EXPECT_FALSE(unlock_wallet_text(bad, "correct horse", plain)) << "a changed tag is caught";
    // Vaultra locked the file while the phone held the wallet loaded: the phrase is not written back.
    writeText(walletFile("w1"), envelope.dump(2));
    EXPECT_FALSE(save_wallet(g.state));
    EXPECT_EQ(readText(walletFile("w1")), envelope.dump(2));
    EXPECT_TRUE(wallet_is_sealed());
}
// Vaultra and the phone both change the file; a save keeps both sides' changes.
TEST_F(WalletFileTest, SaveKeepsWhatVaultraChangedSinceTheLoad) {
    bindOnly(hdWallet());
    for (bool phoneSetsHandle : {false, true}) {
        SCOPED_TRACE(phoneSetsHandle ? "the phone changed the handle" : "only Vaultra changed the handle");
        json doc = hdWallet(test::kAbandon, "alice");
        doc["recv"] = json::array({0, 1, 0, 0, 0, 0});
        doc["backup"] = false;
        doc["contacts"] = json::array({{{"dest", "carol"}}, {{"dest", "dave"}, {"note", "old"}}});
        ASSERT_TRUE(reload(doc.dump()));
        // Vaultra: one more address, a new contact, one removed, a new note, a handle, a backup.
        doc["recv"] = json::array({2, 3, 0, 0, 0, 0});
        doc["paymail"] = "alicia";
        doc["backup"] = true;
        doc["contacts"] = json::array({{{"dest", "dave"}, {"note", "new"}}, {{"dest", "erin"}}});
        writeText(walletFile("w1"), doc.dump());
        // The phone meanwhile: carol removed, frank added.
        auto g = lockWallet();
        g.state.contacts.erase(g.state.contacts.begin());
        g.state.contacts.push_back({"frank", ""});
        if (phoneSetsHandle) g.state.paymail = "phone";
        ASSERT_TRUE(save_wallet(g.state));
        json saved = readJson(walletFile("w1"));
        EXPECT_EQ(saved["recv"], json::array({2, 3, 0, 0, 0, 0}));
        EXPECT_EQ(saved["paymail"], phoneSetsHandle ? "phone" : "alicia");
        EXPECT_EQ(saved["backup"], true);
        EXPECT_EQ(saved["contacts"], json::array({{{"dest", "dave"}, {"note", "new"}}, {{"dest", "frank"}}, {{"dest", "erin"}}}));
        EXPECT_EQ(g.state.keys.counts[1], 3u) << "the phone scans what it saved";
        // A second save changes nothing: what was merged is now the common ground.
        ASSERT_TRUE(save_wallet(g.state));
        EXPECT_EQ(readJson(walletFile("w1"))["contacts"], saved["contacts"]);
    }
}
TEST_F(WalletFileTest, SaveAfterARebindWritesTheFileTheWalletCameFrom) {
    bindOnly(hdWallet());
    addWallet("w2", hdWallet(test::kLegal));
    const std::string w2Before = readText(walletFile("w2"));
    auto g = lockWallet();
    ASSERT_TRUE(load_wallet(g.state));
    set_bound_wallet_id(g.state, "w2");
    g.state.contacts.push_back({"zed", ""});
    ASSERT_TRUE(save_wallet(g.state));
    EXPECT_EQ(readJson(walletFile("w1"))["contacts"], json::array({{{"dest", "zed"}}}));
    EXPECT_EQ(readText(walletFile("w2")), w2Before) << "another wallet's file is never written with this one";
}
}  // namespace
}  // namespace dialo
