#pragma once
// A bound HD wallet in a fresh platform folder, spending through an in-process devnet: the
// wallet client's coin sources and spends seen end to end over real HTTPS.

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../temp_folder.h"
#include "phone_devnet_fixture.h"
#include "vaultra/identity.h"
#include "wallet/binding.h"
#include "wallet/mnemonic.h"
#include "wallet/wallet_file.h"

namespace dialo::test {

class FundedWalletTest : public PhoneOnDevnetTest {
protected:
    void SetUp() override {
        PhoneOnDevnetTest::SetUp();
        options.unspentPageSize = 1000;  // a wallet of 200 outputs lists on one page
        startWithSleep([](uint32_t) {});
        useWallet(1);
    }
    void TearDown() override {
        {
            auto g = lockWallet();
            reset_wallet_state(g.state);
        }
        PhoneOnDevnetTest::TearDown();
    }

    std::string base() const { return root_ + "/Orvane"; }

    /// Binds a new wallet "w<seed>" whose phrase comes from entropy filled with `seed`, so each
    /// wallet has addresses of its own; its default address becomes `address`. A `handle`
    /// names the wallet in its file, as Vaultra's `handle` command does.
    void useWallet(uint8_t seed, const std::string& handle = "") {
        std::array<uint8_t, 16> entropy;
        entropy.fill(seed);
        const std::string id = "w" + std::to_string(seed);
        const std::string path = base() + "/wallets/" + id + "/wallet.json";
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        nlohmann::json doc{{"version", 2}, {"mnemonic", mnemonic_from_entropy(entropy)}, {"recv", {0, 0, 0, 0, 0, 0}},
                           {"show", 0}};
        if (!handle.empty()) doc["paymail"] = handle;
        std::ofstream(path) << doc.dump();
        auto g = lockWallet();
        reset_wallet_state(g.state);
        set_bound_wallet_id(g.state, id);
        ASSERT_TRUE(load_wallet(g.state));
        address = g.state.keys.defaultKey.address;
        ASSERT_TRUE(decode_p2pkh_address(address, addressHash));
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

    /// A transaction the devnet holds, read back from its bytes.
    ParsedTx readTx(const std::string& txid) {
        devnet::test::Reply r = woc("/tx/" + txid + "/hex");
        ParsedTx tx;
        EXPECT_EQ(r.status, 200) << txid;
        EXPECT_TRUE(parse_tx(hex_decode(r.body), tx));
        return tx;
    }

    std::string woc_path(const std::string& rest) const { return "/woc/v1/bsv/main" + rest; }

    /// A JSON file's document; discarded when missing or unreadable.
    static nlohmann::json readJson(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return nlohmann::json::parse(std::string(std::istreambuf_iterator<char>(in), {}), nullptr, false);
    }

    std::string address;
    Hash160 addressHash{};

private:
    TempFolder folder_{"funded"};
    const std::string root_ = folder_.path;
};

}  // namespace dialo::test
