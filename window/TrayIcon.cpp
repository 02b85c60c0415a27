// SPDX-License-Identifier: GPL-3.0-or-later
#include "TrayIcon.h"

#include <QApplication>
#include <QMenu>
#include <QMouseEvent>

#include "AppIcon.h"

namespace {
std::optional<bool> availableOverride;

// The widget Qt embeds in an XEmbed tray for the icon.
bool IsXEmbedIconWidget(const QObject* object) {
    return object->inherits("QSystemTrayIconSys");
}
}  // namespace

TrayIcon::TrayIcon(const QIcon& icon, const QString& toolTip, QObject* parent)
    : QObject(parent), icon_(new QSystemTrayIcon(icon, this)), plainIcon_(icon) {
    icon_->setObjectName(QStringLiteral("trayIcon"));
    icon_->setToolTip(toolTip);
    connect(icon_, &QSystemTrayIcon::activated, this, &TrayIcon::OnActivated);
    // The icon's widget is made whenever a tray appears, so it is looked for among all events.
    qApp->installEventFilter(this);
}

void TrayIcon::SetMenu(QMenu* menu) {
#ifndef Q_OS_WIN
    // A StatusNotifierItem host shows the menu itself, from this export. An XEmbed tray never
    // sees it: the right button is taken from the icon's widget before Qt could open it.
    icon_->setContextMenu(menu);
#else
    (void)menu;
#endif
}

void TrayIcon::OnActivated(QSystemTrayIcon::ActivationReason reason) {
    if (reason != QSystemTrayIcon::Context) {
        emit mouseEvent(CodeFor(reason));
        return;
    }
    // Only a StatusNotifierItem host asks this way, by a call that waits for its answer: the
    // menu opens after the answer has gone.
    QMetaObject::invokeMethod(
        this, [this] { emit mouseEvent(kRightButtonUp); }, Qt::QueuedConnection);
}

bool TrayIcon::eventFilter(QObject* watched, QEvent* event) {
    const bool press = event->type() == QEvent::MouseButtonPress;
    if ((!press && event->type() != QEvent::MouseButtonRelease) || !IsXEmbedIconWidget(watched) ||
        static_cast<QMouseEvent*>(event)->button() != Qt::RightButton)
        return false;
    // Qt would open the menu at the press; the window opens it at the release.
    emit mouseEvent(press ? kRightButtonDown : kRightButtonUp);
    return true;
}

void TrayIcon::ShowNotice(const QString& title, const QString& text, bool warning) {
    if (icon_->isVisible())
        icon_->showMessage(title, text,
                           warning ? QSystemTrayIcon::Warning : QSystemTrayIcon::Information);
    emit noticeShown(title, text);
}

void TrayIcon::SetState(const QString& toolTip, bool failing) {
    if (icon_->toolTip() != toolTip)
        icon_->setToolTip(toolTip);
    if (failing != marked_) {
        marked_ = failing;
        icon_->setIcon(failing ? AppIconWithFailureMark() : plainIcon_);
    }
}

void TrayIcon::Add() {
    icon_->show();
}

void TrayIcon::Remove() {
    icon_->hide();
}

bool TrayIcon::IsAvailable() {
    return availableOverride.value_or(QSystemTrayIcon::isSystemTrayAvailable());
}

void TrayIcon::SetAvailableForTesting(std::optional<bool> available) {
    availableOverride = available;
}

int TrayIcon::CodeFor(QSystemTrayIcon::ActivationReason reason) {
    switch (reason) {
        case QSystemTrayIcon::DoubleClick:
            return kLeftDoubleClick;
        case QSystemTrayIcon::Context:
            return kRightButtonUp;
        case QSystemTrayIcon::Trigger:
            return kLeftButtonUp;
        case QSystemTrayIcon::MiddleClick:
            return kMiddleButtonUp;
        case QSystemTrayIcon::Unknown:
            break;
    }
    return kMouseMove;
}
