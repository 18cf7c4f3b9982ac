#include "call/wallet_follow.h"

#include "state/phone_state.h"
#include "state/ui_bridge.h"
#include "wallet/published.h"

namespace dialo {

void followWalletIdentity() {
    const WalletView view = published_wallet();
    bool changed = false;
    {
        auto g = lockPhone();
        PhoneState& s = g.state;
        if (s.ownHandle != view.handle || s.ownPayAddress != view.payAddress) {
            s.ownHandle = view.handle;
            s.ownPayAddress = view.payAddress;
            changed = true;
        }
    }
    if (changed) postUi(UiMessage::Refresh);
}

}  // namespace dialo
