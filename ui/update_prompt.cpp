#include "ui/update_prompt.h"

#include <QDesktopServices>
#include <QMessageBox>
#include <QString>
#include <QUrl>

#include "app/update_check.h"
#include "ui/palette.h"

namespace dialo {

std::unique_ptr<QMessageBox> updateQuestion(int latest, QWidget* parent) {
    const QString page = QString::fromStdString(updatePageUrl());
    const QString text = QString("A newer Dialo is available.\n\nThis build:  ") +
                         QString::asprintf("%.3f", kBuildVersion / 1000.0) + "\nLatest:      " +
                         QString::asprintf("%.3f", latest / 1000.0) + "\n\nOpen the download page, " + page + ", now?";
    auto box = std::make_unique<QMessageBox>(QMessageBox::Question, "Dialo update", text,
                                             QMessageBox::Yes | QMessageBox::No, parent);
    box->setDefaultButton(QMessageBox::Yes);
    box->setStyleSheet(popupStyleSheet());
    return box;
}

void offerUpdate(QWidget* parent, int latest) {
    if (latest <= kBuildVersion) return;
    if (updateQuestion(latest, parent)->exec() == QMessageBox::Yes)
        QDesktopServices::openUrl(QUrl(QString::fromStdString(updatePageUrl())));
}

}  // namespace dialo
