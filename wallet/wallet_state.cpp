#include "wallet/wallet_state.h"

#include <openssl/crypto.h>

namespace dialo {
namespace {

std::mutex gWalletMutex;
WalletState gWallet;

void wipeText(std::string& s) {
    if (!s.empty()) OPENSSL_cleanse(s.data(), s.size());
    s.clear();
}

}  // namespace

WalletGuard lockWallet() { return WalletGuard(gWalletMutex, gWallet); }

void wipe_wallet_keys(WalletKeys& keys) {
    wipeText(keys.mnemonic);
    wipeText(keys.defaultKey.priv);
    OPENSSL_cleanse(keys.seed.data(), keys.seed.size());
    OPENSSL_cleanse(keys.master.key.data(), keys.master.key.size());
    OPENSSL_cleanse(keys.master.chain.data(), keys.master.chain.size());
    keys = WalletKeys{};
}

}  // namespace dialo
