// SPDX-License-Identifier: GPL-3.0-or-later
// BrowseForFolder, and the folder chooser on top of Qt's directory dialog, opened in the
// user's home folder.
//
// The dialog is modal to its owner only, as the message boxes are: the owner takes no input
// until the dialog is answered, and the handler that opened it waits for the answer, while the
// tray icon, its menu and a close request to the owner still work. (Qt's own modality, of the
// application or of the window, would drop the window manager's close and shut out the tray
// menu.) A close of the owner cancels the choice.
#include "FolderDialog.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileDialog>
#include <QPointer>
#include <QWindow>

namespace FileControl {
namespace {

FolderChooser* installedChooser = nullptr;

// A chosen folder in the platform's form: native separators, and a trailing separator only
// on a root ("/", "C:\"), which cannot do without it.
QString FolderPathAsShown(const QString& chosen) {
    QString path = QDir::toNativeSeparators(chosen);
    while (path.size() > 1 && path.endsWith(QDir::separator()) && !QDir(path).isRoot()) {
        path.chop(1);
    }
    return path;
}

bool IsUserInput(QEvent::Type type) {
    switch (type) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::Wheel:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::Shortcut:
        case QEvent::ContextMenu:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
            return true;
        default:
            return false;
    }
}

// Keeps the user's input away from the owner while `dialog` is open, and cancels the dialog
// when the owner closes.
class OwnerGuard : public QObject {
public:
    OwnerGuard(QWidget* owner, QDialog& dialog) : owner_(owner), dialog_(dialog) {
        qApp->installEventFilter(this);
    }
    ~OwnerGuard() override { qApp->removeEventFilter(this); }
    Q_DISABLE_COPY_MOVE(OwnerGuard)

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (!owner_)
            return false;
        if (watched == owner_.data() && event->type() == QEvent::Close) {
            dialog_.reject();
            return false;
        }
        const auto* widget = qobject_cast<const QWidget*>(watched);
        if (!widget || widget->window() != owner_.data() || !IsUserInput(event->type()))
            return false;
        if (event->type() == QEvent::MouseButtonPress) {
            dialog_.raise();
            dialog_.activateWindow();
        }
        return true;
    }

private:
    QPointer<QWidget> owner_;
    QDialog& dialog_;
};

class DirectoryDialogChooser : public FolderChooser {
public:
    QString chooseFolder(QWidget* owner, const QString& title) override {
        // No parent widget: the dialog must not die with an owner that closes under it.
        QFileDialog dialog(nullptr, title, QDir::homePath());
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly);
        dialog.setWindowModality(Qt::NonModal);
        if (owner && owner->isVisible()) {
            dialog.winId();
            dialog.windowHandle()->setTransientParent(owner->window()->windowHandle());
        }
        QEventLoop answered;
        QObject::connect(&dialog, &QDialog::finished, &answered, &QEventLoop::quit);
        const OwnerGuard guard(owner ? owner->window() : nullptr, dialog);
        dialog.show();
        dialog.raise();
        dialog.activateWindow();
        answered.exec();
        const QStringList chosen = dialog.selectedFiles();
        return dialog.result() == QDialog::Accepted && !chosen.isEmpty() ? chosen.first()
                                                                         : QString();
    }
};

FolderChooser& PlatformFolderChooser() {
    static DirectoryDialogChooser chooser;
    return chooser;
}

}  // namespace

QString BrowseForFolder(QWidget* owner) {
    FolderChooser& chooser = installedChooser ? *installedChooser : PlatformFolderChooser();
    const QString chosen = chooser.chooseFolder(owner, QStringLiteral("选择文件夹..."));
    return chosen.isEmpty() ? QString() : FolderPathAsShown(chosen);
}

void SetFolderChooser(FolderChooser* chooser) {
    installedChooser = chooser;
}

}  // namespace FileControl
