#include "state/call_state.h"

#include <algorithm>
#include <cstdio>

#include "state/ui_bridge.h"

namespace dialo {

const char* callWhyName(CallWhy why) {
    switch (why) {
        case CallWhy::Placed: return "placed";
        case CallWhy::InviteNotSent: return "invite not sent";
        case CallWhy::InviteRang: return "invite rang";
        case CallWhy::Accepted: return "accepted";
        case CallWhy::Boxed: return "boxed";
        case CallWhy::RangOut: return "rang out";
        case CallWhy::Answered: return "answered";
        case CallWhy::HungUp: return "hung up";
        case CallWhy::TheyHungUp: return "they hung up";
        case CallWhy::Diverted: return "diverted";
        case CallWhy::TapeArrived: return "tape arrived";
        case CallWhy::Blocked: return "blocked";
        case CallWhy::Unanswered: return "unanswered";
        case CallWhy::MessageLeft: return "message left";
    }
    return "?";
}

bool moveCallState(PhoneState& s, CallState from, CallState to, CallWhy why) {
    const bool known = std::any_of(std::begin(kCallMoves), std::end(kCallMoves), [&](const CallMove& m) {
        return m.from == from && m.to == to && m.why == why;
    });
    if (!known || s.callState != from) {
        // One write, so that lines from two threads do not interleave.
        std::fprintf(stderr, "dialo: call state is %s: refused %s -> %s (%s)\n", callStateName(s.callState),
                     callStateName(from), callStateName(to), callWhyName(why));
        return false;
    }
    s.callState = to;
    postUi(UiMessage::Refresh);
    return true;
}

}  // namespace dialo
