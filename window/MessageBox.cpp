// SPDX-License-Identifier: GPL-3.0-or-later
#include "MessageBox.h"

#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QWindow>

#include <algorithm>

MessageBoxPresenter::MessageBoxPresenter(QWidget* owner) : owner_(owner) {
    qApp->installEventFilter(this);
}

MessageBoxPresenter::~MessageBoxPresenter() {
    qApp->removeEventFilter(this);
}

void MessageBoxPresenter::show(const QString& text) {
    if (ownerClosed_)
        return;
    // No parent widget: the main window may be hidden while a timed backup or a watch
    // reports. A shown window keeps the box above it.
    QMessageBox box(QMessageBox::Information, QStringLiteral("提示"), text, QMessageBox::Ok);
    box.setWindowModality(Qt::NonModal);
    if (owner_ && owner_->isVisible()) {
        box.winId();
        box.windowHandle()->setTransientParent(owner_->windowHandle());
    }
    QEventLoop answered;
    QObject::connect(&box, &QMessageBox::finished, &answered, &QEventLoop::quit);
    open_.push_back(&box);
    box.show();
    box.raise();
    box.activateWindow();
    answered.exec();
    std::erase(open_, &box);
}

bool MessageBoxPresenter::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Close && watched == owner_.data()) {
        // The window closes whatever is open (a close is never refused).
        ownerClosed_ = true;
        CloseAll();
        return false;
    }
    if (open_.empty() || !IsOwnersInput(watched, event))
        return false;
    if (event->type() == QEvent::MouseButtonPress) {
        open_.back()->raise();
        open_.back()->activateWindow();
    }
    return true;
}

// The user's input to the main window and its controls, not to other windows it owns (the
// tray menu is one).
bool MessageBoxPresenter::IsOwnersInput(QObject* watched, const QEvent* event) const {
    switch (event->type()) {
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
            break;
        default:
            return false;
    }
    const auto* widget = qobject_cast<const QWidget*>(watched);
    return widget && owner_ && widget->window() == owner_.data();
}

void MessageBoxPresenter::CloseAll() {
    // Each box's loop ends when control returns to it.
    for (QMessageBox* box : open_)
        box->done(QMessageBox::Ok);
}
