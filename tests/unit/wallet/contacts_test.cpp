// The address book kept in the wallet file. One entry per handle however typed, the phrase kept
// beside the list, the refusals of an unknown contact and of a missing wallet, and the list
// after a restart are e2e.vaultra_connect's.

#include <gtest/gtest.h>

#include "support/vault_fixture.h"
#include "vaultra/connect.h"
#include "wallet/contacts.h"

namespace dialo {
namespace {

using nlohmann::json;
using ContactsTest = test::VaultTest;

TEST_F(ContactsTest, OneEntryPerDestinationWithItsNoteTrimmedAndCutAndAFailedSaveChangesNothing) {
    addWallet("w1", hdWallet(), "Mine");
    bind_instance("/opt/dialo", "Dialo");
    const std::string address = "1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH", lower = "1bggz9tcn4rm9kbzdn7kprqz87sz26samh";
    // An address keeps its case: another entry.
    for (const auto& [dest, note] : {std::pair<std::string, std::string>{address, std::string(100, 'n')}, {lower, "   "},
                                     {"$Bob@Other.Example", " met at work "}, {"c", ""}})
        EXPECT_EQ(contact_add(dest, note), "success") << dest;
    EXPECT_EQ(contact_remove("c"), "success");
    auto list = [] {
        std::vector<std::pair<std::string, std::string>> out;
        for (const Contact& c : contacts_list()) out.emplace_back(c.dest, c.note);
        return out;
    };
    const auto want = decltype(list()){{address, std::string(80, 'n')}, {lower, ""}, {"bob@other.example", "met at work"}};
    EXPECT_EQ(list(), want);
    EXPECT_EQ(readJson(walletFile("w1"))["contacts"][1], (json{{"dest", lower}})) << "empty notes are not written";

    // Vaultra locks the wallet while the phone holds it loaded.
    writeText(walletFile("w1") + ".seal", "{}");
    EXPECT_EQ(contact_add("bob", ""), "error: could not save the wallet file.");
    EXPECT_EQ(contact_remove(address), "error: could not save the wallet file.");
    EXPECT_EQ(list(), want);
}

}  // namespace
}  // namespace dialo
