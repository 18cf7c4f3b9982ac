// The address book kept in the wallet file.

#include <gtest/gtest.h>

#include "support/vault_fixture.h"
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

// One entry per handle however typed, the phrase kept beside the list, the refusals of an
// unknown contact and of a missing wallet, and the list after a restart are e2e.vaultra_connect's.
TEST_F(ContactsTest, OneEntryPerDestinationWithItsNoteTrimmedAndCut) {
    const std::string address = "1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH", lower = "1bggz9tcn4rm9kbzdn7kprqz87sz26samh";
    const std::pair<std::string, std::string> added[] = {
        {address, std::string(100, 'n')},
        {lower, "   "},  // an address keeps its case: another entry
        {"$Bob@Other.Example", " met at work "},
    };
    for (const auto& [dest, note] : added) EXPECT_EQ(contact_add(dest, note), "success") << dest;
    std::vector<std::pair<std::string, std::string>> list;
    for (const Contact& c : contacts_list()) list.emplace_back(c.dest, c.note);
    EXPECT_EQ(list, (std::vector<std::pair<std::string, std::string>>{
                        {address, std::string(80, 'n')}, {lower, ""}, {"bob@other.example", "met at work"}}));
    json file = readJson(walletFile("w1"));
    EXPECT_EQ(file["contacts"][1], (json{{"dest", lower}})) << "empty notes are not written";
    EXPECT_EQ(file["paymail"], "me");
}

TEST_F(ContactsTest, RemovingKeepsTheOrderAndAFailedSaveOrNoWalletChangesNothing) {
    for (const char* d : {"a", "b", "c"}) ASSERT_EQ(contact_add(d, ""), "success");
    EXPECT_EQ(contact_remove("@B"), "success");
    EXPECT_EQ(dests(), (std::vector<std::string>{"a", "c"}));
    EXPECT_EQ(readJson(walletFile("w1"))["contacts"].size(), 2u);

    // Vaultra locks the wallet while the phone holds it loaded.
    writeText(walletFile("w1") + ".seal", "{}");
    EXPECT_EQ(contact_add("bob", ""), "error: could not save the wallet file.");
    EXPECT_EQ(contact_remove("a"), "error: could not save the wallet file.");
    EXPECT_EQ(dests(), (std::vector<std::string>{"a", "c"}));
    ASSERT_EQ(vaultra_disconnect(), "success");
    EXPECT_EQ(contact_remove("a"), "error: no Vaultra wallet. Create first.");
}

}  // namespace
}  // namespace dialo
