#include "MessageBox.h"

#include <QMessageBox>

void MessageBoxPresenter::show(const QString& text) {
    // No parent: the main window may be hidden while a timed backup or a watch reports.
    QMessageBox box(QMessageBox::Information, QStringLiteral("提示"), text, QMessageBox::Ok);
    box.exec();
}
