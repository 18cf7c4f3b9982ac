// Reading and writing the wallet file Vaultra shares with the phone.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/vault_fixture.h"
#include "platform/files.h"
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
    void bindOnly(const std::string& id, const json& doc) {
        addWallet(id, doc);
        bind_instance("/opt/dialo", "Dialo");
        ASSERT_EQ(bound_wallet_id(), id);
    }
};

TEST_F(WalletFileTest, AccountCountsAndReceiveIndexAreReadAsStoredAndCapped) {
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
    bindOnly("w1", doc);
    for (const auto& c : cases) {
        doc["recv"] = c.recv;
        doc["show"] = c.show;
        writeText(walletFile("w1"), doc.dump());
        auto g = lockWallet();
        reset_wallet_state(g.state);
        ASSERT_TRUE(load_wallet(g.state));
        EXPECT_EQ(g.state.keys.counts, c.counts);
        EXPECT_EQ(g.state.keys.receiveIndex, c.receiveIndex);
        KeyTriple expect;
        ASSERT_TRUE(derive_key(g.state.keys, wallet_path(1, c.receiveIndex), expect));
        EXPECT_EQ(g.state.keys.defaultKey.address, expect.address);
    }
}

TEST_F(WalletFileTest, LockedOrBrokenFilesNeverLoad) {
    json locked = hdWallet(), badWords = hdWallet();
    locked["lock"] = "OV-LOCK1";  // a lock marker wins over a readable phrase
    badWords["mnemonic"] = "abandon abandon abandon";
    bindOnly("w1", hdWallet());
    for (const std::string& text : {locked.dump(), json{{"priv", std::string(63, 'a')}}.dump(), badWords.dump(),
                                    std::string("{\"mnemonic\": ")}) {
        writeText(walletFile("w1"), text);
        auto g = lockWallet();
        reset_wallet_state(g.state);
        EXPECT_FALSE(load_wallet(g.state)) << text;
        EXPECT_FALSE(g.state.loaded);
        EXPECT_TRUE(g.state.keys.mnemonic.empty()) << "a refused phrase is not kept";
    }
}

// A phone killed while it replaced the wallet file or a coin snapshot leaves the temporary
// copy (the phrase in it) behind; the next load removes those of writers no longer running.
TEST_F(WalletFileTest, LoadRemovesTemporaryFilesOfKilledWriters) {
    bindOnly("w1", hdWallet());
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) ::_exit(0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    const std::string dead = ".tmp-" + std::to_string(child) + "-7";
    const std::string live = ".tmp-" + std::to_string(::getpid()) + "-1";
    const std::vector<std::string> left = {walletFile("w1") + dead, base() + "/ord_snap/w1_spent.json" + dead,
                                           base() + "/tx_hist/w1_face.json" + dead};
    for (const std::string& path : left) writeText(path, "{\"mnemonic\": \"abandon");
    writeText(walletFile("w1") + live, "{");

    auto g = lockWallet();
    reset_wallet_state(g.state);
    ASSERT_TRUE(load_wallet(g.state));
    for (const std::string& path : left) EXPECT_FALSE(pathExists(path)) << path;
    EXPECT_TRUE(pathExists(walletFile("w1") + live)) << "a running writer's file is its own";
}

TEST_F(WalletFileTest, SingleKeyWalletComputesWhatIsMissing) {
    std::string one = std::string(63, '0') + "1";
    bindOnly("w1", json{{"priv", one}, {"paymail", "bob"}});
    auto g = lockWallet();
    ASSERT_TRUE(load_wallet(g.state));
    EXPECT_FALSE(g.state.keys.hd);
    EXPECT_EQ(g.state.keys.defaultKey.address, "1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH");
    EXPECT_EQ(g.state.paymail, "bob");
}

TEST_F(WalletFileTest, SavingKeepsThePhraseUnknownKeysAndWritesVersion2) {
    json doc = hdWallet();
    doc.erase("version");
    doc["vaultra_theme"] = "dark";
    doc["ord_owned"] = json::array({{{"origin", "o1"}, {"amt", 1}}});
    doc["contacts"] = json::array({{{"dest", "carol"}}, 7, {{"note", "no dest"}}, {{"dest", "@"}},
                                   {{"dest", " @Dave "}, {"note", "  hi  "}}});
    bindOnly("w1", doc);
    auto g = lockWallet();
    ASSERT_TRUE(load_wallet(g.state));
    ASSERT_EQ(g.state.contacts.size(), 2u) << "bad contact entries are skipped, good ones kept";
    EXPECT_EQ(g.state.contacts[1].dest, "dave");
    EXPECT_EQ(g.state.contacts[1].note, "hi");

    ASSERT_TRUE(save_wallet(g.state));
    json saved = readJson(walletFile("w1"));
    EXPECT_EQ(saved["version"], 2);
    EXPECT_EQ(saved["mnemonic"], test::kAbandon);
    EXPECT_EQ(saved["vaultra_theme"], "dark");
    EXPECT_EQ(saved["ord_owned"], doc["ord_owned"]);
    EXPECT_EQ(saved["identity"], "1Hg7Jm7G3DUetk4vxbAdjSf49qq3zbp8g6");
    EXPECT_EQ(saved["contacts"], json::array({{{"dest", "carol"}}, {{"dest", "dave"}, {"note", "hi"}}}));
    EXPECT_EQ(saved["recv"].size(), 6u);
}

TEST_F(WalletFileTest, LockEnvelopeRefusesChangedFieldsAndIsNeverSavedOver) {
    bindOnly("w1", hdWallet());
    auto g = lockWallet();
    ASSERT_TRUE(load_wallet(g.state));
    const std::string text = hdWallet().dump();
    json envelope;
    ASSERT_TRUE(lock_wallet_text(text, "correct horse", envelope));
    EXPECT_TRUE(is_locked_envelope(envelope));
    std::string plain;  // a wrong password's refusal is e2e.vaultra_connect's
    ASSERT_TRUE(unlock_wallet_text(envelope, "correct horse", plain));
    EXPECT_EQ(plain, text);
    for (const auto& [field, value] : {std::pair<const char*, json>{"iter", 9999}, {"iter", 5000001}, {"salt", "00"}, {"ct", ""}}) {
        json bad = envelope;
        bad[field] = value;
        EXPECT_FALSE(is_locked_envelope(bad)) << field << " " << value;
    }
    json bad = envelope;
    std::string tag = bad["tag"];
    tag[0] = tag[0] == '0' ? '1' : '0';
    bad["tag"] = tag;
    EXPECT_FALSE(unlock_wallet_text(bad, "correct horse", plain)) << "a changed tag is caught";

    // Vaultra locked the file while the phone held the wallet loaded: the phrase is not written back.
    writeText(walletFile("w1"), envelope.dump(2));
    const std::string before = readText(walletFile("w1"));
    EXPECT_FALSE(save_wallet(g.state));
    EXPECT_EQ(readText(walletFile("w1")), before);
    EXPECT_TRUE(wallet_is_sealed());
}

TEST_F(WalletFileTest, ReloadOnlyRaisesCountsAndRefreshesKeys) {
    json doc = hdWallet();
    doc["recv"] = json::array({0, 2, 0, 0, 0, 0});
    bindOnly("w1", doc);
    auto g = lockWallet();
    ASSERT_TRUE(load_wallet(g.state));
    doc["recv"] = json::array({3, 1, 4e9, 0, 0, 0});
    doc["paymail"] = "alice";
    writeText(walletFile("w1"), doc.dump());
    reload_wallet_counts(g.state);
    EXPECT_EQ(g.state.keys.counts[0], 3u);
    EXPECT_EQ(g.state.keys.counts[1], 2u) << "counts never go down";
    EXPECT_EQ(g.state.keys.counts[2], 100000u) << "nor above the bound";
    EXPECT_EQ(g.state.paymail, "alice");

    reset_wallet_state(g.state);
    EXPECT_FALSE(g.state.loaded);
    EXPECT_TRUE(g.state.keys.mnemonic.empty() && g.state.contacts.empty() && g.state.paymail.empty());
}

// Vaultra and the phone both change the file; a save keeps both sides' changes.
TEST_F(WalletFileTest, SaveKeepsWhatVaultraChangedSinceTheLoad) {
    bindOnly("w1", hdWallet());
    for (bool phoneSetsHandle : {false, true}) {
        SCOPED_TRACE(phoneSetsHandle ? "the phone changed the handle" : "only Vaultra changed the handle");
        json doc = hdWallet();
        doc["recv"] = json::array({0, 1, 0, 0, 0, 0});
        doc["paymail"] = "alice";
        doc["backup"] = false;
        doc["contacts"] = json::array({{{"dest", "carol"}}, {{"dest", "dave"}, {"note", "old"}}});
        writeText(walletFile("w1"), doc.dump());
        auto g = lockWallet();
        reset_wallet_state(g.state);
        ASSERT_TRUE(load_wallet(g.state));

        // Vaultra: one more address, a new contact, one removed, a new note, a handle, a backup.
        doc["recv"] = json::array({2, 3, 0, 0, 0, 0});
        doc["paymail"] = "alicia";
        doc["backup"] = true;
        doc["contacts"] = json::array({{{"dest", "dave"}, {"note", "new"}}, {{"dest", "erin"}}});
        writeText(walletFile("w1"), doc.dump());
        // The phone meanwhile: carol removed, frank added.
        g.state.contacts.erase(g.state.contacts.begin());
        g.state.contacts.push_back({"frank", ""});
        if (phoneSetsHandle) g.state.paymail = "phone";

        ASSERT_TRUE(save_wallet(g.state));
        json saved = readJson(walletFile("w1"));
        EXPECT_EQ(saved["recv"], json::array({2, 3, 0, 0, 0, 0}));
        EXPECT_EQ(saved["paymail"], phoneSetsHandle ? "phone" : "alicia");
        EXPECT_EQ(saved["backup"], true);
        EXPECT_EQ(saved["contacts"],
                  json::array({{{"dest", "dave"}, {"note", "new"}}, {{"dest", "frank"}}, {{"dest", "erin"}}}));
        EXPECT_EQ(g.state.keys.counts[1], 3u) << "the phone scans what it saved";

        // A second save changes nothing: what was merged is now the common ground.
        ASSERT_TRUE(save_wallet(g.state));
        EXPECT_EQ(readJson(walletFile("w1"))["contacts"], saved["contacts"]);
    }
}

TEST_F(WalletFileTest, SaveAfterARebindWritesTheFileTheWalletCameFrom) {
    bindOnly("w1", hdWallet());
    json other = hdWallet(test::kLegal);
    addWallet("w2", other);
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
