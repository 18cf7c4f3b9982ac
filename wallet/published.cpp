#include "wallet/published.h"

#include <mutex>

#include "state/ui_bridge.h"
#include "wallet/binding.h"
#include "wallet/mnemonic.h"

namespace dialo {
namespace {

// A leaf lock: nothing else is taken while it is held, so it may be taken under any other.
std::mutex gViewMutex;
WalletView gView;

bool sameView(const WalletView& a, const WalletView& b) {
    return a.connected == b.connected && a.handle == b.handle && a.payAddress == b.payAddress &&
           a.balanceSats == b.balanceSats;
}

// Changes the view under its mutex; a display is told only when something it shows changed.
template <class Change>
void update(Change change) {
    bool changed;
    {
        std::lock_guard lock(gViewMutex);
        const WalletView before = gView;
        change(gView);
        changed = !sameView(before, gView);
    }
    if (changed) postUi(UiMessage::Refresh);
}

}  // namespace

WalletView published_wallet() {
    std::lock_guard lock(gViewMutex);
    return gView;
}

bool publish_wallet(const WalletState& w) {
    const bool connected =
        !bound_wallet_id().empty() && w.loaded && w.keys.hd && validate_mnemonic(w.keys.mnemonic);
    update([&](WalletView& v) {
        // The balance stays as last published while the same wallet stays connected.
        const bool sameWallet = v.connected && connected && v.payAddress == w.keys.defaultKey.address;
        v.connected = connected;
        v.handle = connected ? w.paymail : std::string();
        v.payAddress = connected ? w.keys.defaultKey.address : std::string();
        if (!sameWallet) v.balanceSats = -1;
    });
    return connected;
}

void reset_published_wallet() {
    std::lock_guard lock(gViewMutex);
    gView = WalletView{};
}

int64_t publish_balance(int64_t sats) {
    update([&](WalletView& v) {
        if (v.connected) v.balanceSats = sats < 0 ? -1 : sats;
    });
    return sats;
}

}  // namespace dialo
