#include "ui/program.h"

#include <QApplication>
#include <QMetaObject>
#include <QPointer>

#include "app/startup.h"
#include "app/update_check.h"
#include "app/workers.h"
#include "audio/tones.h"
#include "call/call_control.h"
#include "ui/call_notifier.h"
#include "ui/card_window.h"
#include "ui/logo.h"
#include "ui/main_window.h"
#include "ui/single_instance.h"
#include "ui/tray.h"

namespace dialo {
namespace {

constexpr uint32_t kHangUpAtExitMs = 3000;

}  // namespace

int runDialo(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("dialo");
    QApplication::setDesktopFileName("dialo");
    QApplication::setWindowIcon(logoIcon());

    // A second start raises the first and ends before touching the store or the wallet. The
    // name is claimed before anything else, so that two starts at once cannot both go on.
    QPointer<MainWindow> shown;
    bool answered = false;
    auto server = becomeSoleInstance(instanceSocketName(), [&shown] {
        if (shown) bringToFront(shown);  // none yet: it is about to show itself
    }, answered);
    if (answered) return 0;

    if (!startCore()) return 1;
    setSystemBeep([] { QMetaObject::invokeMethod(qApp, [] { QApplication::beep(); }, Qt::QueuedConnection); });
    int code = 1;
    {
        MainWindow window;
        installCards(window);
        CallNotifier notifier(&window);
        const auto tray = Tray::createIfAvailable(&window);  // null without a system tray
        shown = &window;
        window.show();
        startUpdateCheck();
        if (startWorkers()) code = QApplication::exec();
        setSystemBeep({});
    }
    // The window is gone; a call still up ends as Hang up would end it, the peer told.
    hangUpBeforeExit(kHangUpAtExitMs);
    shutdownCore();
    return code;
}

}  // namespace dialo
