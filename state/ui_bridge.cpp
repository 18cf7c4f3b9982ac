#include "state/ui_bridge.h"

#include <memory>
#include <mutex>

namespace dialo {
namespace {

std::mutex gBridgeMutex;
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
    std::lock_guard<std::mutex> lock(gBridgeMutex);
    slotOf(target) = std::move(next);
}

void postUi(UiMessage message, intptr_t w, intptr_t l) {
    std::shared_ptr<const UiReceiver> receiver;
    {
        std::lock_guard<std::mutex> lock(gBridgeMutex);
        receiver = slotOf(uiTargetOf(message));
    }
    // Called outside the bridge lock so a receiver can never deadlock against a registration.
    if (receiver) (*receiver)(message, w, l);
}

}  // namespace dialo
