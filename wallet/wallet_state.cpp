#include "wallet/wallet_state.h"

#include <openssl/crypto.h>

#include "wallet/openssl_handles.h"

namespace dialo {
namespace {

std::mutex gWalletMutex;
WalletState gWallet;

}  // namespace

const LockName& walletMutex() {
    static const LockName name;
    return name;
}

// The analysis sees the acquisition at the caller, through the declaration.
WalletGuard lockWallet() NO_THREAD_SAFETY_ANALYSIS { return WalletGuard(gWalletMutex, gWallet); }

void wipe_wallet_keys(WalletKeys& keys) {
    wipe_text(keys.mnemonic);
    wipe_text(keys.defaultKey.priv);
    OPENSSL_cleanse(keys.seed.data(), keys.seed.size());
    OPENSSL_cleanse(keys.master.key.data(), keys.master.key.size());
    OPENSSL_cleanse(keys.master.chain.data(), keys.master.chain.size());
    keys = WalletKeys{};
}

}  // namespace dialo
