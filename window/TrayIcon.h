// The program's icon in the notification area.
//
// Mouse events on the icon are reported as the numbers of the mouse messages they correspond
// to (515 a left double-click, 517 the right button released...), the codes the window's tray
// decoding acts on. Only this file knows how the platform delivers them.
//
// Qt reports the right button of an XEmbed tray icon at its press. The icon's own widget
// shows the release too, so there the release is reported, as 517, and the press as 516. A
// tray that tells only of a context request (the StatusNotifierItem protocol) gives 517 for
// it: no press and release can be told apart there.
#pragma once

#include <QObject>
#include <QSystemTrayIcon>

#include <optional>

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

    // Puts the icon into the notification area, or takes it out.
    void Add();
    void Remove();
    bool IsAdded() const;

    // Whether the desktop has a notification area to show the icon in.
    static bool IsAvailable();
    // Overrides IsAvailable (tests); nothing restores the platform's answer.
    static void SetAvailableForTesting(std::optional<bool> available);

    static int CodeFor(QSystemTrayIcon::ActivationReason reason);

signals:
    void mouseEvent(int code);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void OnActivated(QSystemTrayIcon::ActivationReason reason);

    QSystemTrayIcon* m_icon;
    // A right press on the icon's widget is being handled: Qt's context report that comes
    // with it is the press, not the release.
    bool m_inRightPress = false;
};
