// SPDX-License-Identifier: GPL-3.0-or-later
// The real message box behind ShowMessage: information icon, title "提示", OK.
//
// A box is modal to the main window only: the window takes no input until OK, and the handler
// that showed the box waits for it, while the tray icon, its menu and the window's close still
// work. (Qt's own window modality would drop the window manager's close.) Once the window has
// closed, open boxes close and further messages are not shown: nothing is left to own them,
// and the program must be able to end.
#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <vector>

#include "control/Messages.h"

class QMessageBox;

class MessageBoxPresenter : public QObject, public MessagePresenter {
public:
    // `owner` is the main window; it outlives no box.
    explicit MessageBoxPresenter(QWidget* owner);
    ~MessageBoxPresenter() override;
    Q_DISABLE_COPY_MOVE(MessageBoxPresenter)

    void show(const QString& text) override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool IsOwnersInput(QObject* watched, const QEvent* event) const;
    void CloseAll();

    QPointer<QWidget> owner_;
    std::vector<QMessageBox*> open_;  // the newest last
    bool ownerClosed_ = false;
};
