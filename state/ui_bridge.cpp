#include "state/ui_bridge.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>

namespace dialo {
namespace {

std::mutex gBridgeMutex;
std::condition_variable gBridgeIdle;  // a post let go of its copy of a receiver
std::shared_ptr<const UiReceiver> gMain;
std::shared_ptr<const UiReceiver> gCards;

std::shared_ptr<const UiReceiver>& slotOf(UiTarget target) {
    return target == UiTarget::Main ? gMain : gCards;
}

}  // namespace

UiTarget uiTargetOf(UiMessage message) {
    switch (message) {
        case UiMessage::Refresh:
        case UiMessage::ConnectionChanged:
        case UiMessage::RingStart:
        case UiMessage::UpdateAvailable: return UiTarget::Main;
        case UiMessage::CardsRefresh:
        case UiMessage::PlaybackEnded:
        case UiMessage::AvatarReady: return UiTarget::Cards;
    }
    return UiTarget::Main;
}

void setUiReceiver(UiTarget target, UiReceiver receiver) {
    std::shared_ptr<const UiReceiver> next;
    if (receiver) next = std::make_shared<const UiReceiver>(std::move(receiver));
    std::unique_lock<std::mutex> lock(gBridgeMutex);
    std::shared_ptr<const UiReceiver> old = std::exchange(slotOf(target), std::move(next));
    // Posts hold copies, taken and let go under this mutex: once only this one is left, no call
    // of the old receiver is under way, and what it refers to may go.
    if (old) gBridgeIdle.wait(lock, [&old] { return old.use_count() == 1; });
}

void postUi(UiMessage message, intptr_t w, intptr_t l) {
    std::shared_ptr<const UiReceiver> receiver;
    {
        std::lock_guard<std::mutex> lock(gBridgeMutex);
        receiver = slotOf(uiTargetOf(message));
    }
    if (!receiver) return;
    struct LetGo {
        std::shared_ptr<const UiReceiver>& copy;
        ~LetGo() {
            std::lock_guard<std::mutex> lock(gBridgeMutex);
            copy.reset();
            gBridgeIdle.notify_all();
        }
    } letGo{receiver};
    // Called outside the bridge lock so a receiver can never deadlock against a registration.
    (*receiver)(message, w, l);
}

}  // namespace dialo
