// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up, the option edits, the tray icon, showing and hiding, and closing the window.
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTest>

#include <memory>

#include "RecordedMessages.h"
#include "autostart/LogonRegistry.h"
#include "autostart/modSystray.h"
#include "control/FileDetect.h"
#include "settings/FileControl.h"
#include "settings/SettingsStore.h"
#include "tests/common/QtTestMain.h"
#include "window/FolderDialog.h"
#include "window/MessageBox.h"
#include "window/PeriodTimer.h"
#include "window/StatusPanels.h"
#include "window/TrayIcon.h"
#include "window/frmMain.h"

namespace {

using FileControl::SaveSetting;
using SettingsSchema::Setting;

// What is stored as `setting`, or "-" when nothing is.
QString Stored(Setting setting) {
    const SettingsSchema::Row& row = SettingsSchema::RowOf(setting);
    return SettingsStore::Read(QCoreApplication::applicationName(), row.section, row.key)
        .value_or(QStringLiteral("-"));
}

class ScriptedChooser : public FileControl::FolderChooser {
public:
    QString chooseFolder(QWidget* owner, const QString& title) override {
        owners << owner;
        titles << title;
        return answer;
    }
    QString answer;
    QList<QWidget*> owners;
    QStringList titles;
};

// Records the log-on registry's calls, each with the "autoboot" value stored at that moment.
class RecordingRegistry : public modSystray::LogonRegistry {
public:
    void remove(modSystray::LogonPlace place, const QString& name) override {
        calls << QStringLiteral("remove %1 %2 (autoboot=%3)")
                     .arg(PlaceName(place), name, Stored(Setting::StartAtLogon));
    }
    void write(modSystray::LogonPlace place, const QString& name, const QString& path) override {
        calls << QStringLiteral("write %1 %2 %3 (autoboot=%4)")
                     .arg(PlaceName(place), name, path, Stored(Setting::StartAtLogon));
    }
    static QString PlaceName(modSystray::LogonPlace place) {
        return place == modSystray::LogonPlace::Active ? "active" : "parked";
    }
    QStringList calls;
};

QString SettingsFile() {
    return SettingsStore::Location(QCoreApplication::applicationName());
}

QByteArray SettingsFileContent() {
    QFile file(SettingsFile());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString ConfigurationFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
}

QList<QMessageBox*> OpenBoxes() {
    QList<QMessageBox*> boxes;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible())
            boxes << box;
    return boxes;
}

// Closes what a fault would leave open for good, however often, and says so in `fired`.
void CloseBoxesEvery20Seconds(QObject* context, bool& fired) {
    auto* watchdog = new QTimer(context);
    QObject::connect(watchdog, &QTimer::timeout, [&fired] {
        fired = true;
        for (QMessageBox* box : OpenBoxes())
            box->done(QMessageBox::Ok);
    });
    watchdog->start(20000);
}

}  // namespace

// Stands in for the widget Qt embeds in an XEmbed tray for the icon: like that one, it reports
// the right button's press as a context request.
class QSystemTrayIconSys : public QWidget {
    Q_OBJECT
public:
    explicit QSystemTrayIconSys(QSystemTrayIcon* icon) : icon_(icon) {}

protected:
    void mousePressEvent(QMouseEvent* event) override {
        if (event->button() == Qt::RightButton)
            emit icon_->activated(QSystemTrayIcon::Context);
    }

private:
    QSystemTrayIcon* icon_;
};

class WindowLifecycleTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        // Every setting and log-on entry below lands in the temporary configuration folder.
        QVERIFY(ConfigurationFolder().startsWith(QDir::tempPath()));
        // As in the program: a closed window must not end every nested event loop.
        QApplication::setQuitOnLastWindowClosed(false);
    }

    void init() {
        QFile::remove(SettingsFile());
        QDir(ConfigurationFolder() + "/autostart").removeRecursively();
        TrayIcon::SetAvailableForTesting(true);
        FileControl::SetFolderChooser(&chooser);
        chooser = ScriptedChooser{};
        registry = RecordingRegistry{};
        messages = std::make_unique<RecordedMessages>();
        window = std::make_unique<frmMain>();
        window->backupRunner().SetSyncEntry([this](const std::string&, const std::string&,
                                                   const FileSync::RunOptions&) { ++runs; });
        runs = 0;
    }

    void cleanup() {
        window.reset();
        messages.reset();
        modSystray::SetLogonRegistry(nullptr);
        FileControl::SetFolderChooser(nullptr);
    }

    // ---- Start-up ----

    void loadWithNothingStored() {
        window->Form_Load();
        QCOMPARE(text("txtSource"), QString());
        QCOMPARE(text("txtDestination"), QString());
        QCOMPARE(text("txtMins"), QStringLiteral("1"));
        QCOMPARE(box("chkFolderChange")->checkState(), Qt::Unchecked);
        QCOMPARE(box("chkStartwithWindows")->checkState(), Qt::Unchecked);
        QVERIFY(edit("txtMins")->isEnabled());
        QVERIFY(window->isVisible());
        QVERIFY(tray()->isVisible());
        QCOMPARE(tray()->toolTip(), QStringLiteral("文件检视中..."));
        QCOMPARE(tray()->icon().cacheKey(), window->windowIcon().cacheKey());
        // Nothing written, nothing registered, no backup, the timer as designed.
        QVERIFY(!QFile::exists(SettingsFile()));
        QVERIFY(!QDir(ConfigurationFolder() + "/autostart").exists());
        QCOMPARE(runs, 0);
        QVERIFY(timer()->isEnabled());
        QCOMPARE(timer()->interval(), 60000);
        QVERIFY(messages->texts.isEmpty());
    }

    void loadRestoresFoldersAndTheWatchOption() {
        SaveSetting(Setting::SourceFolder, "/数据/源 文件夹");
        SaveSetting(Setting::DestinationFolder, "/备份");
        SaveSetting(Setting::FolderChangeOption, " 1 ");
        SaveSetting(Setting::PeriodMinutes, "9");
        window->Form_Load();
        QCOMPARE(text("txtSource"), QStringLiteral("/数据/源 文件夹"));
        QCOMPARE(text("txtDestination"), QStringLiteral("/备份"));
        QCOMPARE(box("chkFolderChange")->checkState(), Qt::Checked);
        QVERIFY(!edit("txtMins")->isEnabled());
        // The box's handler ran and stored its state again.
        QCOMPARE(Stored(Setting::FolderChangeOption), QStringLiteral("1"));
        // The minutes box is never restored.
        QCOMPARE(text("txtMins"), QStringLiteral("1"));
        QCOMPARE(runs, 0);
    }

    void storedValuesEqualToTheDesignRunNoHandler() {
        // Spelled so that a handler storing the box's state again would show.
        SaveSetting(Setting::FolderChangeOption, " 0");
        SaveSetting(Setting::StartAtLogon, "00");
        modSystray::SetLogonRegistry(&registry);
        window->Form_Load();
        QCOMPARE(Stored(Setting::FolderChangeOption), QStringLiteral(" 0"));
        QCOMPARE(Stored(Setting::StartAtLogon), QStringLiteral("00"));
        QVERIFY(registry.calls.isEmpty());
        QVERIFY(edit("txtMins")->isEnabled());
    }

    void autobootOnRefreshesTheLogonEntry() {
        SaveSetting(Setting::StartAtLogon, "1");
        modSystray::SetLogonRegistry(&registry);
        window->Form_Load();
        QCOMPARE(box("chkStartwithWindows")->checkState(), Qt::Checked);
        const QString name = modSystray::AutostartEntryName();
        const QString path = modSystray::AutostartExecutablePath();
        QCOMPARE(registry.calls,
                 (QStringList{"remove parked " + name + " (autoboot=1)",
                              "write active " + name + " " + path + " (autoboot=1)"}));
    }

    void autobootOnWritesARealAutostartEntry() {
        SaveSetting(Setting::StartAtLogon, "1");
        window->Form_Load();
        QFile entry(ConfigurationFolder() + "/autostart/" + modSystray::AutostartEntryName() +
                    ".desktop");
        QVERIFY(entry.open(QIODevice::ReadOnly));
        QVERIFY(QString::fromUtf8(entry.readAll()).contains(modSystray::AutostartExecutablePath()));
    }

    void storedTextsThatAreNoNumbersCountAsZero() {
        SaveSetting(Setting::FolderChangeOption, "yes");
        SaveSetting(Setting::StartHidden, "maybe");
        SaveSetting(Setting::StartAtLogon, "on");
        modSystray::SetLogonRegistry(&registry);
        window->Form_Load();
        QCOMPARE(box("chkFolderChange")->checkState(), Qt::Unchecked);
        QCOMPARE(box("chkStartwithWindows")->checkState(), Qt::Unchecked);
        QVERIFY(window->isVisible());
        QVERIFY(registry.calls.isEmpty());
        QVERIFY(messages->texts.isEmpty());
    }

    void storedGreyedStatesAreShownGreyed() {
        SaveSetting(Setting::FolderChangeOption, "2");
        SaveSetting(Setting::StartAtLogon, "2");
        modSystray::SetLogonRegistry(&registry);
        window->Form_Load();
        QCOMPARE(box("chkFolderChange")->checkState(), Qt::PartiallyChecked);
        QVERIFY(!edit("txtMins")->isEnabled());
        QCOMPARE(box("chkStartwithWindows")->checkState(), Qt::PartiallyChecked);
        QCOMPARE(Stored(Setting::StartAtLogon), QStringLiteral("2"));
        QVERIFY(registry.calls.isEmpty());
    }

    void storedHideStartsHidden() {
        SaveSetting(Setting::StartHidden, "1");
        window->Form_Load();
        QVERIFY(!window->isVisible());
        QVERIFY(tray()->isVisible());
    }

    // Nothing could bring a hidden window back without a notification area.
    void withoutANotificationAreaTheWindowStaysReachable() {
        SaveSetting(Setting::StartHidden, "1");
        TrayIcon::SetAvailableForTesting(false);
        window->Form_Load();
        QVERIFY(window->isVisible());
        window->cmdHide_Click();
        QVERIFY(window->isVisible() && window->isMinimized());
        QCOMPARE(Stored(Setting::StartHidden), QStringLiteral("1"));
        window->setWindowState(Qt::WindowNoState);
        window->menuHide_Click();
        QVERIFY(window->isVisible() && window->isMinimized());
    }

    // ---- Folder selection and option edits ----

    void browseButtonsFillAndStoreThePath() {
        window->Form_Load();
        chooser.answer = "/home/用户/文档";
        QTest::mouseClick(button("Command1"), Qt::LeftButton);
        QCOMPARE(text("txtSource"), QStringLiteral("/home/用户/文档"));
        QCOMPARE(Stored(Setting::SourceFolder), QStringLiteral("/home/用户/文档"));
        chooser.answer = "/";
        QTest::mouseClick(button("Command2"), Qt::LeftButton);
        QCOMPARE(text("txtDestination"), QStringLiteral("/"));
        QCOMPARE(Stored(Setting::DestinationFolder), QStringLiteral("/"));
        QCOMPARE(chooser.owners, (QList<QWidget*>{window.get(), window.get()}));
        QCOMPARE(chooser.titles, (QStringList{"选择文件夹...", "选择文件夹..."}));
    }

    void cancelledBrowseEmptiesAndStoresTheEmptyText() {
        SaveSetting(Setting::SourceFolder, "/old");
        window->Form_Load();
        chooser.answer = "";
        window->Command1_Click();
        QCOMPARE(text("txtSource"), QString());
        QCOMPARE(Stored(Setting::SourceFolder), QString());
    }

    void typedFolderPathsAreNotStored() {
        window->Form_Load();
        window->show();
        QTest::keyClicks(edit("txtSource"), "/typed");
        QCOMPARE(Stored(Setting::SourceFolder), QStringLiteral("-"));
    }

    void watchOptionStoresItsStateAndSwitchesTheMinutesBox() {
        window->Form_Load();
        QTest::mouseClick(box("chkFolderChange"), Qt::LeftButton);
        QCOMPARE(Stored(Setting::FolderChangeOption), QStringLiteral("1"));
        QVERIFY(!edit("txtMins")->isEnabled());
        QTest::mouseClick(box("chkFolderChange"), Qt::LeftButton);
        QCOMPARE(Stored(Setting::FolderChangeOption), QStringLiteral("0"));
        QVERIFY(edit("txtMins")->isEnabled());
    }

    void everyMinutesEditIsStored() {
        window->Form_Load();
        window->show();
        QLineEdit* minutes = edit("txtMins");
        minutes->selectAll();
        QTest::keyClick(minutes, Qt::Key_Delete);
        QCOMPARE(Stored(Setting::PeriodMinutes), QString());
        QTest::keyClick(minutes, Qt::Key_1);
        QCOMPARE(Stored(Setting::PeriodMinutes), QStringLiteral("1"));
        QTest::keyClick(minutes, Qt::Key_5);
        QCOMPARE(Stored(Setting::PeriodMinutes), QStringLiteral("15"));
        QTest::keyClick(minutes, Qt::Key_Backspace);
        QTest::keyClick(minutes, Qt::Key_Backspace);
        QCOMPARE(Stored(Setting::PeriodMinutes), QString());
        // Code does not count as an edit.
        minutes->setText("7");
        QCOMPARE(Stored(Setting::PeriodMinutes), QString());
    }

    void startWithLogonRecordsTheChoiceFirst() {
        window->Form_Load();
        modSystray::SetLogonRegistry(&registry);
        const QString name = modSystray::AutostartEntryName();
        const QString path = modSystray::AutostartExecutablePath();
        QTest::mouseClick(box("chkStartwithWindows"), Qt::LeftButton);
        QTest::mouseClick(box("chkStartwithWindows"), Qt::LeftButton);
        QCOMPARE(registry.calls,
                 (QStringList{"remove parked " + name + " (autoboot=1)",
                              "write active " + name + " " + path + " (autoboot=1)",
                              "remove active " + name + " (autoboot=0)",
                              "write parked " + name + " " + path + " (autoboot=0)"}));
        registry.calls.clear();
        box("chkStartwithWindows")->setCheckState(Qt::PartiallyChecked);
        QCOMPARE(Stored(Setting::StartAtLogon), QStringLiteral("2"));
        QVERIFY(registry.calls.isEmpty());
    }

    // ---- Tray icon and window visibility ----

    void doubleClickOnTheIconRestoresAndShows() {
        window->Form_Load();
        window->setWindowState(Qt::WindowMinimized);
        window->hide();
        emit tray()->activated(QSystemTrayIcon::DoubleClick);
        QVERIFY(window->isVisible());
        QVERIFY(!(window->windowState() & Qt::WindowMinimized));
        // Also when it is already visible.
        emit tray()->activated(QSystemTrayIcon::DoubleClick);
        QVERIFY(window->isVisible());
    }

    // A StatusNotifierItem host asks by a call that must be answered at once; it also has the
    // menu to show by itself.
    void contextRequestIsAnsweredThenOpensTheMenuAtTheCursor() {
        window->Form_Load();
        window->hide();
        QCOMPARE(tray()->contextMenu(), menu());
        QCursor::setPos(120, 90);
        QWidget* popup = nullptr;
        QPoint popupAt;
        bool answered = false, openedAfterTheAnswer = false;
        QTimer::singleShot(50, window.get(), [&] {
            openedAfterTheAnswer = answered;
            popup = QApplication::activePopupWidget();
            if (popup)
                popupAt = popup->pos();
            menu()->findChildren<QAction*>("menuShow").value(0)->trigger();
            menu()->close();
        });
        emit tray()->activated(QSystemTrayIcon::Context);
        answered = true;
        QTRY_VERIFY(window->isVisible());
        QVERIFY(openedAfterTheAnswer);
        QCOMPARE(popup, static_cast<QWidget*>(menu()));
        QCOMPARE(popupAt, QPoint(120, 90));
    }

    void rightButtonOpensTheMenuOnItsRelease() {
        window->Form_Load();
        QSystemTrayIconSys iconWidget(tray());
        iconWidget.show();
        QString phase = "press";
        QStringList openings;
        QTimer closer;
        closer.setInterval(0);
        connect(&closer, &QTimer::timeout, [&] {
            if (QApplication::activePopupWidget() == menu()) {
                openings << phase;
                menu()->close();
            }
        });
        closer.start();
        QTest::mousePress(&iconWidget, Qt::RightButton);
        QCoreApplication::processEvents();
        phase = "release";
        QTest::mouseRelease(&iconWidget, Qt::RightButton);
        QCoreApplication::processEvents();
        QCOMPARE(openings, QStringList{"release"});
    }

    void otherTrayEventsDoNothing() {
        window->Form_Load();
        window->hide();
        for (auto reason :
             {QSystemTrayIcon::Trigger, QSystemTrayIcon::MiddleClick, QSystemTrayIcon::Unknown})
            emit tray()->activated(reason);
        for (int code : {512, 513, 514, 516, 518, 519})
            window->Form_MouseMove(0, 0, float(code * frmMain::kTwipsPerPixel), 0);
        QVERIFY(!window->isVisible());
        QVERIFY(!QApplication::activePopupWidget());
        // The decoding reads twips: 515 pixels' worth of twips is the double-click.
        window->Form_MouseMove(0, 0, 515.0f * 15, 0);
        QVERIFY(window->isVisible());
    }

    void showAndHideFromTheMenuLeaveTheStoredHide() {
        window->Form_Load();
        window->setWindowState(Qt::WindowMinimized);
        window->menuHide_Click();
        QVERIFY(!window->isVisible());
        window->menuShow_Click();
        QVERIFY(window->isVisible());
        QVERIFY(window->windowState() & Qt::WindowMinimized);
        QCOMPARE(Stored(Setting::StartHidden), QStringLiteral("-"));
    }

    void hideButtonHidesAndMakesEveryStartHidden() {
        window->Form_Load();
        QTest::mouseClick(button("cmdHide"), Qt::LeftButton);
        QVERIFY(!window->isVisible());
        QCOMPARE(Stored(Setting::StartHidden), QStringLiteral("1"));
        window->menuShow_Click();
        QCOMPARE(Stored(Setting::StartHidden), QStringLiteral("1"));
        // Timed backups go on while hidden.
        window->cmdHide_Click();
        QVERIFY(timer()->isEnabled());
    }

    // ---- Closing ----

    void closeWithoutAWatchRemovesTheIconAndWritesNothing() {
        window->Form_Load();
        window->cmdHide_Click();
        const QByteArray stored = SettingsFileContent();
        QSignalSpy unloaded(window.get(), &frmMain::unloaded);
        QVERIFY(window->close());
        QVERIFY(!tray()->isVisible());
        QCOMPARE(unloaded.count(), 1);
        QCOMPARE(SettingsFileContent(), stored);
        QVERIFY(messages->texts.isEmpty());
    }

    void aMessageBoxHoldsTheWindowsInputAndClosesWithTheWindow() {
        window->Form_Load();
        MessageBoxPresenter boxes(window.get());
        SetMessagePresenter(&boxes);
        bool watchdogFired = false;
        CloseBoxesEvery20Seconds(window.get(), watchdogFired);
        QStringList events;
        QTimer::singleShot(0, window.get(), [&] {
            events << QStringLiteral("%1 open").arg(OpenBoxes().size());
            // Would ask for the folders in a second box.
            QTest::mouseClick(button("cmdStart"), Qt::LeftButton);
            events << QStringLiteral("%1 open").arg(OpenBoxes().size());
            window->close();
        });
        ShowMessage(QStringLiteral("探针"));
        events << QStringLiteral("returned, %1 open").arg(OpenBoxes().size());
        // Nothing is left to own a box.
        ShowMessage(QStringLiteral("after the close"));
        events << QStringLiteral("%1 open").arg(OpenBoxes().size());
        SetMessagePresenter(messages.get());
        QCOMPARE(events, (QStringList{"1 open", "1 open", "returned, 0 open", "0 open"}));
        QVERIFY(!watchdogFired);
        QVERIFY(window->isUnloaded());
    }

    // The real picker holds the window's input only: a close request still closes the window
    // (and cancels the pick), as the tray's menu still opens.
    void folderPickerGivesWayToACloseRequest() {
        window->Form_Load();
        FileControl::SetFolderChooser(nullptr);
        const auto openPickers = [] {
            int open = 0;
            for (QWidget* widget : QApplication::topLevelWidgets())
                open += qobject_cast<QFileDialog*>(widget) && widget->isVisible();
            return open;
        };
        QTimer watchdog;
        connect(&watchdog, &QTimer::timeout, [] {
            for (QWidget* widget : QApplication::topLevelWidgets())
                if (auto* picker = qobject_cast<QFileDialog*>(widget))
                    picker->reject();
        });
        watchdog.start(20000);
        QStringList events;
        QTimer::singleShot(0, window.get(), [&] {
            events << QStringLiteral("%1 open").arg(openPickers());
            events << (QApplication::activeModalWidget() ? "modal" : "not modal");
            QTest::mouseClick(button("Command2"), Qt::LeftButton);
            events << QStringLiteral("%1 open").arg(openPickers());
            window->close();
        });
        QTest::mouseClick(button("Command1"), Qt::LeftButton);
        events << (window->isUnloaded() ? "closed" : "open") << QString::number(openPickers());
        QCOMPARE(events, (QStringList{"1 open", "not modal", "1 open", "closed", "0"}));
        QCOMPARE(text("txtSource"), QString());
    }

    void exitClosesTheWindowFirstThenEndsTheProcess() {
        window->Form_Load();
        window->menuHide_Click();
        QString atEnd;
        window->setProcessEnd([&] {
            atEnd = QStringLiteral("unloaded %1, icon %2")
                        .arg(window->isUnloaded())
                        .arg(tray()->isVisible() ? "shown" : "removed");
        });
        menu()->findChild<QAction*>("menuExit")->trigger();
        QCOMPARE(atEnd, QStringLiteral("unloaded 1, icon removed"));
    }

    void closeDuringAWatchEndsItAfterTheWindowHasGone() {
        QTemporaryDir watched;
        window->Form_Load();
        edit("txtSource")->setText(watched.path());
        edit("txtDestination")->setText("/dst");
        box("chkFolderChange")->setCheckState(Qt::Checked);
        QSignalSpy unloaded(window.get(), &frmMain::unloaded);
        QStringList events;
        messages->onShow = [&](const QString& text) {
            events << QStringLiteral("%1 (window %2)")
                          .arg(text, window->isUnloaded() ? "closed" : "open");
            if (text.startsWith("现在将开始检视文件夹"))
                QTimer::singleShot(0, [&] {
                    QFile file(watched.filePath("新文件.txt"));
                    QVERIFY(file.open(QIODevice::WriteOnly));
                });
            else if (text.startsWith("当前检视的文件夹已经发生过改变"))
                QTimer::singleShot(0, window.get(), [&] {
                    events << QStringLiteral("close");
                    window->close();
                    events << QStringLiteral("icon %1").arg(tray()->isVisible() ? "shown"
                                                                                : "removed");
                });
        };
        QTimer::singleShot(5000, window.get(), [] { FileDetect::StopWatching(); });
        window->cmdStart_Click();
        QCOMPARE(
            events,
            (QStringList{"现在将开始检视文件夹 " + watched.path() + " .. 单击 OK (window open)",
                         "当前检视的文件夹已经发生过改变. 继续检视 Resuming watch... (window open)",
                         "close", "icon removed",
                         "检视的文件夹已经终止 " + watched.path() + " (window closed)"}));
        // The program may end only now that the watch has returned.
        QCOMPARE(unloaded.count(), 1);
    }

private:
    QLineEdit* edit(const char* name) { return window->findChild<QLineEdit*>(name); }
    QString text(const char* name) { return edit(name)->text(); }
    QCheckBox* box(const char* name) { return window->findChild<QCheckBox*>(name); }
    QPushButton* button(const char* name) { return window->findChild<QPushButton*>(name); }
    PeriodTimer* timer() { return window->findChild<PeriodTimer*>("Timer1"); }
    QSystemTrayIcon* tray() { return window->findChild<QSystemTrayIcon*>("trayIcon"); }
    QMenu* menu() { return window->findChild<QMenu*>("menuSystray"); }

    ScriptedChooser chooser;
    RecordingRegistry registry;
    std::unique_ptr<RecordedMessages> messages;
    std::unique_ptr<frmMain> window;
    int runs = 0;
};

TAVRICK_ISOLATED_TEST_MAIN(WindowLifecycleTest)
#include "WindowLifecycleTest.moc"
