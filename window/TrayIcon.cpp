#include "TrayIcon.h"

#include <QApplication>
#include <QMouseEvent>

namespace {
std::optional<bool> availableOverride;

// The widget Qt embeds in an XEmbed tray for the icon.
bool IsXEmbedIconWidget(const QObject* object) {
    return object->inherits("QSystemTrayIconSys");
}
}  // namespace

TrayIcon::TrayIcon(const QIcon& icon, const QString& toolTip, QObject* parent)
    : QObject(parent), m_icon(new QSystemTrayIcon(icon, this)) {
    m_icon->setObjectName(QStringLiteral("trayIcon"));
    m_icon->setToolTip(toolTip);
    // No context menu of Qt's own: the right button is reported like every other event.
    connect(m_icon, &QSystemTrayIcon::activated, this, &TrayIcon::OnActivated);
    // The icon's widget is made whenever a tray appears, so it is looked for among all events.
    qApp->installEventFilter(this);
}

void TrayIcon::OnActivated(QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Context && m_inRightPress)
        return;  // the release follows, through the event filter
    emit mouseEvent(CodeFor(reason));
}

bool TrayIcon::eventFilter(QObject* watched, QEvent* event) {
    const bool press = event->type() == QEvent::MouseButtonPress;
    if ((!press && event->type() != QEvent::MouseButtonRelease) || !IsXEmbedIconWidget(watched) ||
        static_cast<QMouseEvent*>(event)->button() != Qt::RightButton)
        return false;
    if (press) {
        // Qt reports its context request while it handles the press.
        m_inRightPress = true;
        watched->event(event);
        m_inRightPress = false;
        emit mouseEvent(kRightButtonDown);
    } else {
        emit mouseEvent(kRightButtonUp);
    }
    return true;
}

void TrayIcon::Add() {
    m_icon->show();
}

void TrayIcon::Remove() {
    m_icon->hide();
}

bool TrayIcon::IsAdded() const {
    return m_icon->isVisible();
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
