// SPDX-License-Identifier: GPL-3.0-or-later
// The program's icon in the notification area.
//
// Mouse events on the icon are reported as the numbers of the mouse messages they correspond
// to (515 a left double-click, 517 the right button released...), the codes the window's tray
// decoding acts on. Only this file knows how the platform delivers them.
//
// Qt reports the right button of an XEmbed tray icon at its press. The icon's own widget
// shows the release too, so there the release is reported, as 517, and the press as 516. A
// tray that tells only of a context request (the StatusNotifierItem protocol) gives 517 for
// it, once the host's call has been answered: no press and release can be told apart there,
// and a host must never wait for the menu to close. Such a host is also given the menu to
// show by itself.
#pragma once

#include <QObject>
#include <QSystemTrayIcon>

#include <optional>

class QMenu;

class TrayIcon : public QObject {
    Q_OBJECT
public:
    static constexpr int kMouseMove = 512;
    static constexpr int kLeftButtonUp = 514;
    static constexpr int kLeftDoubleClick = 515;
    static constexpr int kRightButtonDown = 516;
    static constexpr int kRightButtonUp = 517;
    static constexpr int kMiddleButtonUp = 520;

    TrayIcon(const QIcon& icon, const QString& toolTip, QObject* parent = nullptr);

    // The menu a StatusNotifierItem host shows for the icon (not owned).
    void SetMenu(QMenu* menu);

    // Shows a desktop notice from the icon; without a notification service the platform's own
    // balloon, or nothing.
    void ShowNotice(const QString& title, const QString& text, bool warning);
    // The tool tip and whether the icon wears its failure mark.
    void SetState(const QString& toolTip, bool failing);

    // Puts the icon into the notification area, or takes it out.
    void Add();
    void Remove();

    // Whether the desktop has a notification area to show the icon in.
    static bool IsAvailable();
    // Overrides IsAvailable (tests); nothing restores the platform's answer.
    static void SetAvailableForTesting(std::optional<bool> available);

    static int CodeFor(QSystemTrayIcon::ActivationReason reason);

signals:
    void mouseEvent(int code);
    void noticeShown(const QString& title, const QString& text);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void OnActivated(QSystemTrayIcon::ActivationReason reason);

    QSystemTrayIcon* icon_;
    QIcon plainIcon_;
    bool marked_ = false;
};
