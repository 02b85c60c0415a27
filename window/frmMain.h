// SPDX-License-Identifier: GPL-3.0-or-later
// The program's one window: its controls, the tray menu and every event handler.
//
// The controls are the program's shared state; handlers read and write them by name and keep
// no copies. Each control's objectName is its name, under which settings are stored.
#pragma once

#include <QWidget>

#include <cstdint>
#include <functional>

#include "RunLog.h"
#include "RunNotices.h"
#include "control/BackupController.h"

class QAction;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class PeriodTimer;
class StatusPanels;
class TrayIcon;

class frmMain : public QWidget, private BackupControls {
    Q_OBJECT
public:
    static constexpr int kTwipsPerPixel = 15;
    static constexpr int kClientWidth = 5925 / kTwipsPerPixel;
    static constexpr int kClientHeight = 3075 / kTwipsPerPixel;

    explicit frmMain(QWidget* parent = nullptr);
    ~frmMain() override;
    Q_DISABLE_COPY_MOVE(frmMain)

    BackupRunner& backupRunner() { return controller_.runner(); }
    TrayIcon& trayIcon() { return *tray_; }
    // What menuExit_Click does after the window has closed; the default ends the process.
    void setProcessEnd(std::function<void()> endProcess) { endProcess_ = std::move(endProcess); }
    bool isUnloaded() const { return unloaded_; }

    // Shows the window restored and in front, as a double-click on the tray icon does.
    void ShowInFront();

public slots:
    void Form_Load();
    void Form_MouseMove(int button, int shift, float x, float y);
    void Form_QueryUnload();
    void Form_Unload();

    void cmdStart_Click();
    void cmdHide_Click();
    void Command1_Click();
    void Command2_Click();
    void chkFolderChange_Click();
    void chkStartwithWindows_Click();
    void txtMins_Change();
    void Timer1_Timer();

    void menuStart_Click();
    void menuStop_Click();
    void menuShow_Click();
    void menuHide_Click();
    void menuExit_Click();

signals:
    // The window has closed and no handler is on the stack any more: the program may end.
    void unloaded();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // Counts the handlers on the stack, so that the end of the program waits for them.
    class HandlerScope {
    public:
        explicit HandlerScope(frmMain& window);
        ~HandlerScope();
        HandlerScope(const HandlerScope&) = delete;
        HandlerScope& operator=(const HandlerScope&) = delete;

    private:
        frmMain& window_;
    };

    void CreateControls();
    void CreateTrayMenu();
    void SetTabOrder();
    void WireEvents();

    void BringToFront();
    // Hides the window where the tray icon can bring it back; minimises it otherwise.
    void HideToTray();
    // Lets the user pick a folder for one of the path boxes and stores the box's new text.
    void BrowseInto(QLineEdit& pathBox);

    // BackupControls
    QString sourceFolderText() const override;
    QString destinationFolderText() const override;
    void setStatusText(const QString& text) override;
    void setStatusToolTip(const QString& text) override;
    void showRunProgress(const FileSync::RunReport* report) override;
    bool isOpen() const override { return !unloaded_; }
    std::string rememberedFileSystem(const QString& destination) const override;
    void rememberFileSystem(const QString& destination, const std::string& identity) override;
    void runEnded(const RunSummary& run) override;
    QString minutesText() const override;
    bool watchOptionChecked() const override;
    QString startCaption() const override;
    void setStartCaption(const QString& caption) override;
    void setTimerInterval(std::int32_t milliseconds) override;
    void setTimerEnabled(bool enabled) override;

    QPushButton* cmdHide;
    QCheckBox* chkStartwithWindows;
    StatusPanels* status;
    QGroupBox* frameFolders;
    QLineEdit* txtDestination;
    QPushButton* Command2;
    QLineEdit* txtSource;
    QPushButton* Command1;
    QLabel* Label5;
    QLabel* Label4;
    QCheckBox* chkFolderChange;
    QLineEdit* txtMins;
    PeriodTimer* Timer1;
    QPushButton* cmdStart;
    QLabel* Label6;
    QLabel* Label7;
    QLabel* Label1;

    QMenu* menuSystray;
    QAction* menuStart;
    QAction* menuStop;
    QAction* menuLine1;
    QAction* menuShow;
    QAction* menuHide;
    QAction* menuLine2;
    QAction* menuExit;

    TrayIcon* tray_;

    BackupController controller_;
    RunNotices notices_;
    RunLog runLog_;
    // What the Start/Stop button said when it was last clicked, for the run log.
    QString lastClick_ = QStringLiteral("Start");
    int handlerDepth_ = 0;
    bool unloaded_ = false;
    bool unloadAnnounced_ = false;
    std::function<void()> endProcess_;
};
