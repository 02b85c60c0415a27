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
    : QObject(parent), m_icon(new QSystemTrayIcon(icon, this)), m_plainIcon(icon) {
    m_icon->setObjectName(QStringLiteral("trayIcon"));
    m_icon->setToolTip(toolTip);
    connect(m_icon, &QSystemTrayIcon::activated, this, &TrayIcon::OnActivated);
    // The icon's widget is made whenever a tray appears, so it is looked for among all events.
    qApp->installEventFilter(this);
}

void TrayIcon::SetMenu(QMenu* menu) {
#ifndef Q_OS_WIN
    // A StatusNotifierItem host shows the menu itself, from this export. An XEmbed tray never
    // sees it: the right button is taken from the icon's widget before Qt could open it.
    m_icon->setContextMenu(menu);
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
    if (m_icon->isVisible())
        m_icon->showMessage(title, text,
                            warning ? QSystemTrayIcon::Warning : QSystemTrayIcon::Information);
    emit noticeShown(title, text);
}

void TrayIcon::SetState(const QString& toolTip, bool failing) {
    if (m_icon->toolTip() != toolTip)
        m_icon->setToolTip(toolTip);
    if (failing != m_marked) {
        m_marked = failing;
        m_icon->setIcon(failing ? AppIconWithFailureMark() : m_plainIcon);
    }
}

void TrayIcon::Add() {
    m_icon->show();
}

void TrayIcon::Remove() {
    m_icon->hide();
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
