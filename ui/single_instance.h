#pragma once
// One `dialo` per user: the first start listens on a per-user local socket; a later start
// asks it to raise its window and ends.

#include <QLocalServer>
#include <QString>
#include <functional>
#include <memory>

namespace dialo {

/// The socket name for this user (and this data folder, so that test phones stay apart).
QString instanceSocketName();

/// True when another instance answered and was asked to raise its window.
bool askRunningInstanceToRaise(const QString& name);

/// Listens for later starts; `raise` runs on the GUI thread for each. Null when the name
/// cannot be listened on even after removing a stale socket.
std::unique_ptr<QLocalServer> listenForLaterStarts(const QString& name, std::function<void()> raise);

}  // namespace dialo
