#pragma once
// A bound HD wallet spending through an in-process devnet over real HTTPS.
#include <string>
#include <vector>
#include "support/vault_fixture.h"
#include "support/phone_devnet_fixture.h"
#include "vaultra/identity.h"
#include "wallet/binding.h"
#include "wallet/mnemonic.h"
#include "wallet/wallet_file.h"

namespace dialo::test {
class FundedWalletTest : public PhoneOnDevnetTest, public WalletFolder {
protected:
    void SetUp() override {
        PhoneOnDevnetTest::SetUp();
        options.unspentPageSize = 1000;  // a wallet of 200 outputs lists on one page
        startWithSleep([](uint32_t) {});
        useWallet(1);
    }
    void TearDown() override {
        reset_wallet_state(lockWallet().state);
        PhoneOnDevnetTest::TearDown();
    }
    /// Binds new wallet "w<seed>" (entropy filled with `seed`, `handle` in its file); sets `address`.
    void useWallet(uint8_t seed, const std::string& handle = "") {
        std::array<uint8_t, 16> entropy;
        entropy.fill(seed);
        const std::string id = "w" + std::to_string(seed);
        writeText(walletFile(id), hdWallet(mnemonic_from_entropy(entropy), handle).dump());
        reloadWallet(id);
        address = lockWallet().state.keys.defaultKey.address;
        ASSERT_TRUE(decode_p2pkh_address(address, addressHash));
    }
    /// Binds wallet `id` and loads it from its files alone, as a restarted phone does.
    void reloadWallet(const std::string& id) {
        auto g = lockWallet();
        reset_wallet_state(g.state);
        set_bound_wallet_id(g.state, id);
        ASSERT_TRUE(load_wallet(g.state));
    }
    /// The bound wallet's identity key pair (private half included: callers wipe it).
    devnet::test::Key walletIdentity() {
        devnet::test::Key id;
        std::string error;
        EXPECT_TRUE(identity_key_hex(id.priv, error)) << error;
        EXPECT_TRUE(pubkey_from_priv(id.priv, id.pub));
        return id;
    }
    /// Pays the wallet's address one output per value in one confirmed transaction; its txid.
    std::string fundWallet(const std::vector<int64_t>& values) {
        const devnet::test::Key faucet = devnet::test::keyOf('5');
        int64_t total = 0;
        std::vector<TxOutput> outs;
        for (int64_t v : values) {
            total += v;
            outs.push_back({v, p2pkh_script(addressHash)});
        }
        Bytes raw = devnet::test::buildSigned({fund(faucet, total + 20000)}, outs, faucet);
        EXPECT_EQ(submitWoc(raw).status, 200);
        mine();
        return txid_of(raw);
    }
    ParsedTx readTx(const std::string& txid) {
        devnet::test::Reply r = woc("/tx/" + txid + "/hex");
        ParsedTx tx;
        EXPECT_TRUE(r.status == 200 && parse_tx(hex_decode(r.body), tx)) << txid;
        return tx;
    }
    std::string address;
    Hash160 addressHash{};
};
}  // namespace dialo::test
