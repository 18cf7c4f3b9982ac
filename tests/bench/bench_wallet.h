#pragma once
// What the in-process benchmarks share: a devnet on free loopback ports in a scratch folder,
// handles published in its directory, and a bound HD wallet with a confirmed coin split into
// confirmed pieces, as a phone prepares a call.

#include <openssl/crypto.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "base/clock.h"
#include "service/claims.h"
#include "service/platform.h"
#include "tools/devnet/ledger.h"
#include "tools/devnet/service.h"
#include "vaultra/identity.h"
#include "wallet/binding.h"
#include "wallet/encoding.h"
#include "wallet/keys.h"
#include "wallet/mnemonic.h"
#include "wallet/spends.h"
#include "wallet/wallet_file.h"

namespace dialo::bench {

/// Starts `net` with its data under `root`/devnet, blocks only on demand.
inline bool startDevnet(devnet::Devnet& net, const std::string& root, std::string& error) {
    devnet::DevnetOptions o;
    o.dataDir = root + "/devnet";
    o.servicePort = o.directoryPort = 0;
    o.blockIntervalSeconds = 0;
    o.unspentPageSize = 1000;
    return net.start(o, error);
}

/// Publishes `handle` for the identity key `priv` (hex), paid at `address`.
inline bool claimHandle(devnet::Devnet& net, const std::string& handle, std::string priv, const std::string& address,
                        std::string& error) {
    std::string pub, sig;
    if (!pubkey_from_priv(priv, pub)) {
        OPENSSL_cleanse(priv.data(), priv.size());
        error = "no public key for " + handle;
        return false;
    }
    const int64_t ts = nowSeconds();
    const std::string text = "OV-PAYMAIL-CLAIM|" + handle + "|" + pub + "|" + address + "||" + std::to_string(ts);
    const bool signedOk = sign_message_compact(priv, text, sig);
    OPENSSL_cleanse(priv.data(), priv.size());
    if (!signedOk) {
        error = "the claim could not be signed";
        return false;
    }
    const service::ClaimResult claim = service::takeClaim(
        net.platform().storage(),
        nlohmann::json{{"alias", handle}, {"pubkey", pub}, {"address", address}, {"avatar", ""}, {"ts", ts}, {"sig", sig}},
        ts);
    error = claim.error;
    return claim.error.empty();
}

/// The only wallet (id w7) of the data folder `root`, with handle `handle`, bound and loaded in
/// this process and published in the devnet's directory; its default address in `address`.
inline bool makeWallet(const std::string& root, devnet::Devnet& net, const std::string& handle, std::string& address,
                       std::string& error) {
    std::array<uint8_t, 16> entropy;
    entropy.fill(7);
    const std::string base = root + "/Orvane/wallets";
    std::filesystem::create_directories(base + "/w7");
    std::ofstream(base + "/w7/wallet.json") << nlohmann::json{{"version", 2},
                                                             {"mnemonic", mnemonic_from_entropy(entropy)},
                                                             {"recv", {0, 0, 0, 0, 0, 0}},
                                                             {"show", 0},
                                                             {"paymail", handle}}
                                                   .dump();
    // An index of one wallet: a phone started on this folder binds to it by itself.
    std::ofstream(root + "/Orvane/wallets.json")
        << nlohmann::json{{"wallets", {{{"id", "w7"}, {"name", handle}}}}, {"active", "w7"}}.dump();
    {
        auto g = lockWallet();
        set_bound_wallet_id(g.state, "w7");
        if (!load_wallet(g.state)) {
            error = "the wallet did not load";
            return false;
        }
        address = g.state.keys.defaultKey.address;
    }
    std::string priv;
    return identity_key_hex(priv, error) && claimHandle(net, handle, std::move(priv), address, error);
}

/// Pays `address` 200,000 satoshis in a block, splits that coin and confirms the pieces.
inline bool fundAndSplit(devnet::Devnet& net, const std::string& address, std::string& error) {
    std::string txid;
    devnet::BlockInfo block;
    if (!net.ledger().fund(address, 200'000, txid, error) || !net.ledger().mine(block, error)) return false;
    const std::string split = split_coins();
    if (!split.starts_with("success")) {
        error = "split: " + split;
        return false;
    }
    return net.ledger().mine(block, error);
}

}  // namespace dialo::bench
