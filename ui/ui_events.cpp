#include "ui/ui_events.h"

#include <QCoreApplication>
#include <mutex>

namespace dialo {
namespace {

std::mutex gRouteMutex;
QObject* gWindows[2] = {nullptr, nullptr};

QObject*& slotOf(UiTarget target) { return gWindows[target == UiTarget::Main ? 0 : 1]; }

}  // namespace

UiEvent::UiEvent(UiMessage m, intptr_t wParam, intptr_t lParam) : QEvent(uiEventType()), message(m), w(wParam), l(lParam) {}

QEvent::Type uiEventType() {
    static const QEvent::Type type = QEvent::Type(QEvent::registerEventType());
    return type;
}

void routeUiMessages(UiTarget target, QObject* window) {
    (void)uiEventType();  // registered on this thread, before any worker asks
    {
        std::lock_guard lock(gRouteMutex);
        slotOf(target) = window;
    }
    if (!window) {
        setUiReceiver(target, {});
        return;
    }
    setUiReceiver(target, [target](UiMessage message, intptr_t w, intptr_t l) {
        // postEvent is safe from any thread. A window unroutes itself under this lock before it
        // is destroyed, so no post can reach one that is going; Qt drops events already queued.
        std::lock_guard lock(gRouteMutex);
        QObject* to = slotOf(target);
        if (to) QCoreApplication::postEvent(to, new UiEvent(message, w, l));
    });
}

}  // namespace dialo
