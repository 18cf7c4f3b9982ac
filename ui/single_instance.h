#pragma once
// One `dialo` per user: the first start listens on a per-user local socket; a later start
// asks it to raise its window and ends.

#include <QLocalServer>
#include <QString>
#include <functional>
#include <memory>

namespace dialo {

/// The socket's full path for this user (and this data folder, so that test phones stay apart),
/// in a folder only this user can enter; empty when there is no such folder.
QString instanceSocketName();

/// True when another instance listens and was asked to raise its window.
bool askRunningInstanceToRaise(const QString& name);

/// Makes this process the one instance: listens for later starts, whose `raise` runs on the GUI
/// thread. When another instance answers instead, `answered` is set and nothing is returned; so
/// is nothing when the name is empty or cannot be listened on at all (the phone then runs on
/// its own).
std::unique_ptr<QLocalServer> becomeSoleInstance(const QString& name, std::function<void()> raise, bool& answered);

}  // namespace dialo
