#pragma once
// The question put to the user when the update check finds a newer build, and the download
// page opened on Yes.

#include <memory>

class QMessageBox;
class QWidget;

namespace dialo {

/// The Yes/No question for a latest version in thousandths, built but not shown.
std::unique_ptr<QMessageBox> updateQuestion(int latest, QWidget* parent);

/// On the update check's answer (latest version in thousandths; 0 or less when none): when
/// it is newer than this build, asks, and opens the download page in the browser on Yes.
void offerUpdate(QWidget* parent, int latest);

}  // namespace dialo
