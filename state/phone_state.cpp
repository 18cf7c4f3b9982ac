#include "state/phone_state.h"

#include "state/ui_bridge.h"

namespace dialo {
namespace {

std::mutex gPhoneMutex;
PhoneState gPhone;
PhoneFlags gFlags;

}  // namespace

namespace {
thread_local bool tHoldFlag = false;
}  // namespace

bool holdFlag() { return tHoldFlag; }
void setHoldFlag(bool held) { tHoldFlag = held; }

const char* callStateName(CallState state) {
    switch (state) {
        case CallState::Idle: return "Idle";
        case CallState::Calling: return "Calling";
        case CallState::Incoming: return "Incoming";
        case CallState::Talking: return "Talking";
        case CallState::LeavingMessage: return "LeavingMessage";
    }
    return "Idle";
}

const LockName& phoneMutex() {
    static const LockName name;
    return name;
}

// The analysis sees the acquisition at the caller, through the declaration.
PhoneGuard lockPhone() NO_THREAD_SAFETY_ANALYSIS {
    return PhoneGuard{std::unique_lock<std::mutex>(gPhoneMutex), gPhone};
}

PhoneBriefGuard lockPhoneBrief() { return PhoneBriefGuard{std::unique_lock<std::mutex>(gPhoneMutex), gPhone}; }

PhoneFlags& phoneFlags() { return gFlags; }

void setStatus(const std::string& text) {
    {
        auto g = lockPhone();
        g.state.statusText = text;
    }
    postUi(UiMessage::Refresh);
}

}  // namespace dialo
