#include "ui/actions.h"

#include <functional>

#include "base/detached.h"
#include "call/call_control.h"
#include "state/phone_state.h"
#include "state/ui_bridge.h"
#include "store/phone_store.h"
#include "vaultra/connect.h"
#include "wallet/published.h"

namespace dialo {

// Shutdown waits for these before it frees the libraries they use.
void detached(std::function<void()> body) {
    if (!startDetached(std::move(body))) setStatus("The phone is too busy to do that now. Try again.");
}

void startConnectOrDisconnect() {
    // The published view, not the wallet lock: a spend may hold that for a minute.
    if (published_wallet().connected) {
        detached([] {
            (void)vaultra_disconnect();
            postUi(UiMessage::ConnectionChanged, 0);
        });
        return;
    }
    vaultra_connect_arm();
    detached([] {
        const std::string result = vaultra_connect();
        if (result.rfind("error: ", 0) == 0) setStatus(result);
        postUi(UiMessage::ConnectionChanged, published_wallet().connected ? 1 : 0);
    });
}

void startCallOrAnswer(const std::string& typed) {
    const CallState state = lockPhoneBrief().state.callState;
    if (state == CallState::Incoming) startAnswer();
    else if (state == CallState::Idle) detached([typed] { placeCall(typed); });
}

void startAnswer() { detached(acceptCall); }

void startHangUp() { detached(hangUp); }

void toggleAnswerPhone() {
    {
        auto g = lockPhone();
        PhoneState& s = g.state;
        s.boxes.answerphone = !s.boxes.answerphone;
        s.statusText = s.boxes.answerphone ? "Calls will divert to your answer-phone after three rings."
                                           : "Calls will divert to your answer-phone after ten rings.";
        save_phone_store(s);
    }
    postUi(UiMessage::Refresh);
    postUi(UiMessage::CardsRefresh);
}

}  // namespace dialo
