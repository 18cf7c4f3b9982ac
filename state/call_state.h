#pragma once
// The call state machine: the one way `PhoneState::callState` changes. Each move names why
// it is made, and a move that is not in the table below is refused, so a path nobody meant
// cannot leave the phone in a state that no loop or button expects.

#include "state/phone_state.h"

namespace dialo {

/// Why the call state moves: this user's actions, the peer's events, and the ring loops.
enum class CallWhy : int32_t {
    Placed,         // this user pressed Call: the invite is about to go out
    InviteNotSent,  // the invite could not be sent
    InviteRang,     // an invite from another phone rings here (it takes over a call not yet answered)
    Accepted,       // the peer's accept arrived
    Boxed,          // the peer's answer-phone took the call: rings stop after the third
    RangOut,        // ten rings, or three after a box: the caller records a message
    Answered,       // this user answered and the accept went out
    HungUp,         // this user hung up
    TheyHungUp,     // the peer's hang-up arrived
    Diverted,       // the answer-phone took the ringing call: the box went out
    TapeArrived,    // the caller's message came, which ends its ringing call here
    Blocked,        // the caller turned out to be on the block list
    Unanswered,     // nobody answered or ended the call for 180 seconds after the invite's time
    MessageLeft,    // the message went out
};

/// "placed", "invite not sent", ... : how a why reads in the phone's log.
const char* callWhyName(CallWhy why);

struct CallMove {
    CallState from;
    CallState to;
    CallWhy why;
};

/// Every move the machine has; moveCallState checks against this very table. Idle to Idle is
/// not a move: a path that finds the call ended already (the peer's hang-up read while this
/// user's went out, a message sent as the user hung up) leaves the state alone.
inline constexpr CallMove kCallMoves[] = {
    // from                     to                         why
    {CallState::Idle,           CallState::Calling,        CallWhy::Placed},
    {CallState::Calling,        CallState::Idle,           CallWhy::InviteNotSent},
    {CallState::Idle,           CallState::Incoming,       CallWhy::InviteRang},
    {CallState::Calling,        CallState::Incoming,       CallWhy::InviteRang},
    {CallState::LeavingMessage, CallState::Incoming,       CallWhy::InviteRang},
    {CallState::Calling,        CallState::Talking,        CallWhy::Accepted},
    {CallState::Calling,        CallState::Calling,        CallWhy::Boxed},
    {CallState::Calling,        CallState::LeavingMessage, CallWhy::RangOut},
    {CallState::Calling,        CallState::Idle,           CallWhy::HungUp},
    {CallState::Calling,        CallState::Idle,           CallWhy::TheyHungUp},
    {CallState::Incoming,       CallState::Talking,        CallWhy::Answered},
    {CallState::Incoming,       CallState::Idle,           CallWhy::HungUp},
    {CallState::Incoming,       CallState::Idle,           CallWhy::TheyHungUp},
    {CallState::Incoming,       CallState::Idle,           CallWhy::Diverted},
    {CallState::Incoming,       CallState::Idle,           CallWhy::TapeArrived},
    {CallState::Incoming,       CallState::Idle,           CallWhy::Blocked},
    {CallState::Incoming,       CallState::Idle,           CallWhy::Unanswered},
    {CallState::Talking,        CallState::Idle,           CallWhy::HungUp},
    {CallState::Talking,        CallState::Idle,           CallWhy::TheyHungUp},
    {CallState::LeavingMessage, CallState::Talking,        CallWhy::Accepted},
    {CallState::LeavingMessage, CallState::Idle,           CallWhy::MessageLeft},
    {CallState::LeavingMessage, CallState::Idle,           CallWhy::HungUp},
    {CallState::LeavingMessage, CallState::Idle,           CallWhy::TheyHungUp},
};

/// Moves the call from `from` to `to` for `why` and tells the window (one refresh), when the
/// state is `from` and the table has that move. Otherwise the state is left as it is, a line
/// saying what was refused goes to standard error, and the answer is false. Only the call
/// state changes: captions, status and the ring flags stay with the caller.
/// The caller holds the phone-state mutex.
[[nodiscard]] bool moveCallState(PhoneState& s, CallState from, CallState to, CallWhy why) REQUIRES(phoneMutex());

}  // namespace dialo
