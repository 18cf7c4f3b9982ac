// The address book kept in the wallet file.

#include <gtest/gtest.h>

#include "../vaultra/vault_fixture.h"
#include "vaultra/connect.h"
#include "wallet/contacts.h"

namespace dialo {
namespace {

using nlohmann::json;

class ContactsTest : public test::VaultTest {
protected:
    void SetUp() override {
        VaultTest::SetUp();
        json doc = hdWallet();
        doc["paymail"] = "me";
        addWallet("w1", doc, "Mine");
        bind_instance("/opt/dialo", "Dialo");
    }
    std::vector<std::string> dests() {
        std::vector<std::string> out;
        for (const Contact& c : contacts_list()) out.push_back(c.dest);
        return out;
    }
};

TEST_F(ContactsTest, SameHandleTypedTwoWaysIsOneContact) {
    EXPECT_EQ(contact_add("@Alice", "first"), "success");
    EXPECT_EQ(contact_add("alice@orvane.test", "second"), "success");
    auto list = contacts_list();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].dest, "alice");
    EXPECT_EQ(list[0].note, "second");
}

TEST_F(ContactsTest, AddressesKeepTheirCaseAndNotesAreTrimmedAndCut) {
    EXPECT_EQ(contact_add("1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH", std::string(100, 'n')), "success");
    EXPECT_EQ(contact_add("1bggz9tcn4rm9kbzdn7kprqz87sz26samh", "   "), "success");
    EXPECT_EQ(contact_add("$Bob@Other.Example", " met at work "), "success");
    auto list = contacts_list();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].note, std::string(80, 'n'));
    EXPECT_EQ(list[1].dest, "1bggz9tcn4rm9kbzdn7kprqz87sz26samh");
    EXPECT_EQ(list[1].note, "");
    EXPECT_EQ(list[2].dest, "bob@other.example");
    EXPECT_EQ(list[2].note, "met at work");

    json file = readJson(walletFile("w1"));
    EXPECT_EQ(file["contacts"][1], (json{{"dest", "1bggz9tcn4rm9kbzdn7kprqz87sz26samh"}})) << "empty notes are not written";
    EXPECT_EQ(file["mnemonic"], test::kAbandon) << "the phrase survives every contact change";
    EXPECT_EQ(file["paymail"], "me");

    EXPECT_EQ(contact_add("  @ ", "x"), "error: enter a handle, paymail, or 1-address.");
}

TEST_F(ContactsTest, RemovingKeepsTheOrderAndRefusesStrangers) {
    for (const char* d : {"a", "b", "c"}) ASSERT_EQ(contact_add(d, ""), "success");
    EXPECT_EQ(contact_remove("zed"), "error: that contact is not in the list.");
    EXPECT_EQ(dests(), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(contact_remove("@B"), "success");
    EXPECT_EQ(dests(), (std::vector<std::string>{"a", "c"}));
    EXPECT_EQ(readJson(walletFile("w1"))["contacts"].size(), 2u);
}

TEST_F(ContactsTest, AFailedSaveOrNoWalletLeavesTheListAsItWas) {
    ASSERT_EQ(contact_add("alice", ""), "success");
    // Vaultra locks the wallet while the phone holds it loaded.
    writeText(walletFile("w1") + ".seal", "{}");
    EXPECT_EQ(contact_add("bob", ""), "error: could not save the wallet file.");
    EXPECT_EQ(contact_remove("alice"), "error: could not save the wallet file.");
    EXPECT_EQ(dests(), std::vector<std::string>{"alice"});
    ASSERT_EQ(vaultra_disconnect(), "success");
    EXPECT_EQ(contact_add("alice", ""), "error: no Vaultra wallet. Create first.");
    EXPECT_EQ(contact_remove("alice"), "error: no Vaultra wallet. Create first.");
    EXPECT_TRUE(contacts_list().empty());
}

}  // namespace
}  // namespace dialo
