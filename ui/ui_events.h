#pragma once
// Workers' messages to the windows, as Qt events. Workers call postUi (state/ui_bridge.h);
// the receiver installed here turns each message into a UiEvent posted to the window of its
// surface. A message for a window that is gone, or not yet made, is dropped.

#include <QEvent>
#include <QObject>

#include "state/ui_bridge.h"

namespace dialo {

class UiEvent : public QEvent {
public:
    UiEvent(UiMessage message, intptr_t w, intptr_t l);
    UiMessage message;
    intptr_t w;
    intptr_t l;
};

/// The Qt event type every UiEvent carries (one registered type; the message says which).
QEvent::Type uiEventType();

/// Sends the messages of `target` to `window` from now on (nullptr: drop them). Safe to call
/// while workers post. A window routed here must route nullptr in its destructor.
void routeUiMessages(UiTarget target, QObject* window);

}  // namespace dialo
