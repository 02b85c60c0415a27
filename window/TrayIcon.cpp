#include "TrayIcon.h"

namespace {
std::optional<bool> availableOverride;
}

TrayIcon::TrayIcon(const QIcon& icon, const QString& toolTip, QObject* parent)
    : QObject(parent), m_icon(new QSystemTrayIcon(icon, this)) {
    m_icon->setObjectName(QStringLiteral("trayIcon"));
    m_icon->setToolTip(toolTip);
    // No context menu of Qt's own: the right button is reported like every other event.
    connect(m_icon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) { emit mouseEvent(CodeFor(reason)); });
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
