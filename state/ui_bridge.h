#pragma once
// How workers tell a front end that something changed. Workers post; the front end that
// registered a receiver re-reads the state on its own thread. Posting with no receiver
// registered is a no-op, so workers never care whether a window exists.

#include <cstdint>
#include <functional>

namespace dialo {

/// Messages keep the numbers the window messages had, for logs and traces.
enum class UiMessage : int {
    Refresh = 32808,            // statusText, caption or callState changed      (main)
    CardsRefresh = 32809,       // a box changed or a store was loaded           (cards)
    PlaybackEnded = 32810,      // a played message finished                     (cards)
    ConnectionChanged = 32811,  // w: 1 connected / store loaded, 0 disconnected (main)
    AvatarReady = 32812,        // a contact's avatar finished loading           (cards)
    RingStart = 32813,          // an incoming call began ringing                (main)
    UpdateAvailable = 32814,    // w: latest version in thousandths + 1, 0 failed (main)
};

enum class UiTarget { Main, Cards };

/// Which front-end surface a message goes to.
UiTarget uiTargetOf(UiMessage message);

/// Called on the posting thread; it must only queue the message and return at once, and must
/// not take the phone-state mutex (posters may hold it).
using UiReceiver = std::function<void(UiMessage message, intptr_t w, intptr_t l)>;

/// Registers (or, with an empty function, removes) the receiver of one surface.
void setUiReceiver(UiTarget target, UiReceiver receiver);

/// Hands the message to the receiver of its surface, if there is one.
void postUi(UiMessage message, intptr_t w = 0, intptr_t l = 0);

}  // namespace dialo
