#include "state/ui_bridge.h"

#include <condition_variable>
#include <memory>
#include <mutex>

namespace dialo {
namespace {

std::mutex gBridgeMutex;
std::condition_variable gBridgeIdle;
int gPosting = 0;  // receiver calls under way, outside the mutex
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
    slotOf(target) = std::move(next);
    // What the replaced receiver refers to may go once this returns.
    gBridgeIdle.wait(lock, [] { return gPosting == 0; });
}

void postUi(UiMessage message, intptr_t w, intptr_t l) {
    std::shared_ptr<const UiReceiver> receiver;
    {
        std::lock_guard<std::mutex> lock(gBridgeMutex);
        receiver = slotOf(uiTargetOf(message));
        if (!receiver) return;
        ++gPosting;
    }
    // Called outside the bridge lock so a receiver can never deadlock against a registration.
    (*receiver)(message, w, l);
    std::lock_guard<std::mutex> lock(gBridgeMutex);
    if (--gPosting == 0) gBridgeIdle.notify_all();
}

}  // namespace dialo
