// Key tree: published BIP-32/39 vectors, fixed paths, own-coin look-ups.
#include <gtest/gtest.h>
#include "support/wallet_doc.h"
#include "wallet/bip39_words.h"
#include "wallet/encoding.h"
#include "wallet/keys.h"
#include "wallet/mnemonic.h"

namespace dialo {
namespace {
using test::kAbandon;
std::string addressAt(WalletKeys& keys, uint32_t account, uint32_t index) {
    KeyTriple t;
    EXPECT_TRUE(derive_key(keys, wallet_path(account, index), t));
    return t.address;
}
Hash160 hashOf(const std::string& address) {
    Hash160 h{};
    EXPECT_TRUE(decode_p2pkh_address(address, h)) << address;
    return h;
}
TEST(WordList, IsThePublishedEnglishListInOrder) {
    std::string joined;  // english.txt as published with BIP-39, whose SHA-256 follows
    for (const char* w : kBip39English) (joined += w) += '\n';
    Hash256 digest{};
    ASSERT_TRUE(sha256(joined, digest));
    EXPECT_EQ(hex_encode(digest), "2f5eed53a4727b4bf8880d8f3f199efc90e58503646d9ff8eff3a2ed3b24dbda");
}
// Phrases @bsv/sdk is never given; the many-phrase checks are tests/interop's.
TEST(Mnemonic, AcceptsOnlyTwelveWordsWithTheirChecksumAndSeedsTheTextAsStored) {
    const std::string abandon11 = "abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon ";
    std::string upper = kAbandon;
    for (char& c : upper) c = char(std::toupper(uint8_t(c)));
    const std::pair<std::string, bool> cases[] = {
        {upper, true}, {"  legal winner\tthank year wave  sausage worth useful legal winner thank yellow ", true},
        {abandon11 + "abandon abandon", false},  // checksum
        {abandon11 + "abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon "
                     "abandon abandon art", false},  // 24 words
        {abandon11 + "about", false}, {std::string(kAbandon) + " abandon", false}, {abandon11 + "abandon aboutt", false}, {"", false}};
    for (const auto& [phrase, valid] : cases) EXPECT_EQ(validate_mnemonic(phrase), valid) << phrase;
    // BIP-39's vector (passphrase "" here); an upper-case phrase is not lowered first.
    const std::pair<std::string, std::string> seeds[] = {
        {kAbandon, "5eb00bbddcf069084889a8ab9155568165f5c453ccb85e70811aaed6f6da5fc19a5ac40b389cd370d086206dec8aa6c43daea6690f20ad3d8d48b2d2ce9e38e4"},
        {upper, "58657bf0442a28e5d755d89821346417a58a10b7df52d293432f2ebf0bb6c8667b609ddd406f9790b4f294213288fdad71233b62b90b4b67662e1369c70eb3ba"}};
    for (const auto& [phrase, hex] : seeds) {
        Hash512 seed{};
        ASSERT_TRUE(mnemonic_to_seed(phrase, seed));
        EXPECT_EQ(hex_encode(seed), hex) << phrase;
    }
}
TEST(Derivation, FollowsTheBip32VectorThroughNormalAndHardenedSteps) {
    // BIP-32 test vector 2.
    Hash512 seed{};
    Bytes s = hex_decode(
        "fffcf9f6f3f0edeae7e4e1dedbd8d5d2cfccc9c6c3c0bdbab7b4b1aeaba8a5a29f9c999693908d8a8784817e7b7875726f6c69666360"
        "5d5a5754514e4b484542");
    std::copy(s.begin(), s.end(), seed.begin());
    ExtendedKey m, c0, c1;
    ASSERT_TRUE(master_key_from_seed(seed, m));
    EXPECT_EQ(hex_encode(m.key), "4b03d6fc340455b363f51020ad3ecca4f0850280cf436c70c727923f6db46c3e");
    ASSERT_TRUE(derive_child(m, 0, c0));
    EXPECT_EQ(hex_encode(c0.key), "abe74a98f6c7eabee0428f53798f0ab8aa1bd37873999041703c742f15ac7e1e");
    ASSERT_TRUE(derive_child(c0, kHardened + 2147483647u, c1));
    EXPECT_EQ(hex_encode(c1.key), "877c779ad9687164e9c2f4f0f4ff0340814392330693ce95a58fe18fd52e6e93");
    EXPECT_EQ(hex_encode(c1.chain), "be17a268474a6bb9c61e1d720cf6215e2a88c5406c4aee7b38547f585c9a37d9");
    // The first hardened index (value from @bsv/sdk, which checks the rest of the range).
    ASSERT_TRUE(derive_child(m, 0x80000000u, c0));
    EXPECT_EQ(hex_encode(c0.key), "5640758773ebb5cd9fb234d31e7dbe957d31b3b44bdb3b55c385f42c98a9acfe");
}
TEST(Lookup, OwnAddressesRunToTheAccountCountsAndSignWithTheirKeys) {
    WalletKeys keys;
    keys.hd = true;
    keys.mnemonic = kAbandon;
    keys.counts = {0, 2, 0, 2, 0, 1};
    ASSERT_TRUE(refresh_wallet_keys(keys));
    EXPECT_EQ(receive_addresses(keys).back(), addressAt(keys, kPaymentAccount, 2));
    // Found: a key of the wallet's; own: one whose coins a payment may spend.
    const struct {
        std::string address;
        bool found, own;
    } rows[] = {
        {addressAt(keys, kPaymentAccount, 1), true, true}, {keys.identityAddress, true, true}, {addressAt(keys, 3, 2), true, false},
        {addressAt(keys, 0, 0), true, false}, {addressAt(keys, kPaymentAccount, 3), false, false},  // beyond the count
        {addressAt(keys, 3, 3), false, false}, {addressAt(keys, 7, 0), false, false},           // not a searched account
        {"1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH", false, false}};
    Hash160 h{};
    for (const auto& row : rows) {
        EXPECT_EQ(find_own_address(keys, row.address, h) && h == hashOf(row.address), row.found) << row.address;
        EXPECT_EQ(is_own_hash(keys, hashOf(row.address), nullptr, {}), row.own) << row.address;
    }
    std::vector<Coin> coins(1);
    coins[0].owner = hashOf("1cMh228HTCiwS8ZsaakH8A8wze1JR5ZsP");
    const Hash160 extra = hashOf("1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH");
    EXPECT_TRUE(is_own_hash(keys, coins[0].owner, nullptr, coins));
    EXPECT_TRUE(is_own_hash(keys, extra, &extra, {}));
    EXPECT_FALSE(is_own_hash(keys, extra, nullptr, coins));
    KeyTriple k;
    std::string pub;
    ASSERT_TRUE(signing_key_for(keys, hashOf(addressAt(keys, 3, 2)), k) && pubkey_from_priv(k.priv, pub));
    EXPECT_EQ(address_from_pubkey(pub), addressAt(keys, 3, 2));
    EXPECT_FALSE(signing_key_for(keys, hashOf(addressAt(keys, 3, 3)), k));
    keys.counts[3] = 3;  // Vaultra used one more address: the map grows with the count
    EXPECT_TRUE(find_own_address(keys, addressAt(keys, 3, 3), h));
    WalletKeys single;  // a single-key wallet owns its one address
    single.defaultKey = {std::string(63, '0') + "1", "", "1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH"};
    ASSERT_TRUE(signing_key_for(single, hashOf(single.defaultKey.address), k));
    EXPECT_EQ(k.priv, single.defaultKey.priv);
    EXPECT_FALSE(find_own_address(single, "1cMh228HTCiwS8ZsaakH8A8wze1JR5ZsP", h));
}
}  // namespace
}  // namespace dialo
