#include "ui/single_instance.h"

#include <QCryptographicHash>
#include <QLocalSocket>

#include "platform/data_dir.h"

namespace dialo {
namespace {

constexpr int kAnswerMs = 2000;
constexpr char kRaise[] = "raise\n";

}  // namespace

QString instanceSocketName() {
    // A bare name would put the socket in /tmp, where another user could take it first and
    // answer for this phone, or stop it from listening.
    const std::string folder = privateRuntimeDirectory();
    if (folder.empty()) return {};
    // Phones with their own data folders (tests, a second user profile) are separate phones.
    const QByteArray data = QByteArray::fromStdString(platformDirectory());
    const QByteArray digest = QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex().left(16);
    return QString::fromStdString(folder) + "/dialo-" + QString::fromLatin1(digest);
}

bool askRunningInstanceToRaise(const QString& name) {
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(kAnswerMs)) return false;
    socket.write(kRaise);
    if (!socket.waitForBytesWritten(kAnswerMs)) return false;
    // Someone listens, so a phone runs: one still starting answers only once its loop runs, and
    // it reads the request then. The wait is for its window to be up before this one ends.
    (void)socket.waitForReadyRead(kAnswerMs);
    return true;
}

std::unique_ptr<QLocalServer> becomeSoleInstance(const QString& name, std::function<void()> raise, bool& answered) {
    answered = false;
    if (name.isEmpty()) return nullptr;
    answered = askRunningInstanceToRaise(name);
    if (answered) return nullptr;
    // No socket options: with them Qt binds elsewhere and renames the socket into place, which
    // replaces one a racing start has just made instead of failing on it. The socket keeps the
    // umask's mode, so other users cannot write to it.
    auto server = std::make_unique<QLocalServer>();
    if (!server->listen(name)) {
        // Taken: by a start racing this one, which answers, or by a phone that crashed.
        answered = askRunningInstanceToRaise(name);
        if (answered) return nullptr;
        QLocalServer::removeServer(name);
        if (!server->listen(name)) return nullptr;
    }
    QLocalServer* s = server.get();
    QObject::connect(s, &QLocalServer::newConnection, s, [s, raise] {
        while (QLocalSocket* c = s->nextPendingConnection()) {
            auto answer = [c, raise] {
                if (!c->canReadLine()) return;
                if (c->readLine() == kRaise) {
                    raise();
                    c->write("ok\n");
                    c->flush();
                }
                c->disconnectFromServer();
            };
            QObject::connect(c, &QLocalSocket::disconnected, c, &QObject::deleteLater);
            QObject::connect(c, &QLocalSocket::readyRead, c, answer);
            answer();  // a request that came before its connection was taken up
        }
    });
    return server;
}

}  // namespace dialo
