// SPDX-License-Identifier: GPL-3.0-or-later
// The Start/Stop button, the tray's Start and Stop, the timer tick and the runs they make.
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <future>
#include <memory>
#include <vector>

#include "FailingFileSystem.h"
#include "RecordedMessages.h"
#include "TestFiles.h"
#include "control/FileDetect.h"
#include "tests/common/QtTestMain.h"
#include "window/PeriodTimer.h"
#include "window/RunLog.h"
#include "window/StatusPanels.h"
#include "window/TrayIcon.h"
#include "window/frmMain.h"

namespace {

const QString kNeedPeriod = QStringLiteral("你必须输入备份周期才能备份. 默认为1分钟.");
const QString kNeedFolders = QStringLiteral("你必须输入源文件夹和目标文件夹!");

struct SyncCall {
    QString source;
    QString destination;
    QString statusDuringRun;
};

}  // namespace

class BackupControllerTest : public QObject {
    Q_OBJECT
private slots:
    void init() {
        window = std::make_unique<frmMain>();
        messages = std::make_unique<RecordedMessages>();
        calls.clear();
        statusTexts.clear();
        depth = maxDepth = 0;
        duringRun = nullptr;
        window->backupRunner().SetSyncEntry([this](const std::string& source,
                                                   const std::string& destination,
                                                   const FileSync::RunOptions& options) {
            ++depth;
            maxDepth = std::max(maxDepth, depth);
            calls.push_back({QString::fromStdString(source), QString::fromStdString(destination),
                             status()->message()});
            if (duringRun)
                duringRun(options, int(calls.size()));
            --depth;
        });
        connect(status(), &StatusPanels::messageChanged,
                [this](const QString& text) { statusTexts << text; });
        window->backupRunner().SetClock([this] { return now; });
    }
    void cleanup() {
        window.reset();
        messages.reset();
    }

    void emptyPeriodShowsTheFirstMessageOnly() {
        setFolders("/src", "/dst");
        minutes()->setText("");
        window->cmdStart_Click();
        QCOMPARE(messages->texts, QStringList{kNeedPeriod});
        QVERIFY(calls.empty());
        QCOMPARE(caption(), QStringLiteral("开始"));
        QVERIFY(timer()->isEnabled());
        QCOMPARE(minutes()->text(), QString());
        QVERIFY(statusTexts.isEmpty());
    }

    void emptyFolderShowsTheSecondMessageOnly() {
        setFolders("/src", "");
        window->cmdStart_Click();
        setFolders("", "/dst");
        window->cmdStart_Click();
        QCOMPARE(messages->texts, (QStringList{kNeedFolders, kNeedFolders}));
        QVERIFY(calls.empty());
        QCOMPARE(caption(), QStringLiteral("开始"));
        QVERIFY(statusTexts.isEmpty());
    }

    void stopClickIsRefusedByTheSameMessages() {
        setFolders("/src", "/dst");
        minutes()->setText("2");
        window->cmdStart_Click();
        QCOMPARE(caption(), QStringLiteral("停止"));
        minutes()->setText("");
        window->cmdStart_Click();
        setFolders("/src", "");
        minutes()->setText("2");
        window->cmdStart_Click();
        QCOMPARE(messages->texts, (QStringList{kNeedPeriod, kNeedFolders}));
        QCOMPARE(calls.size(), std::size_t{1});
        QCOMPARE(caption(), QStringLiteral("停止"));
        QVERIFY(timer()->isEnabled());
        QCOMPARE(timer()->interval(), 120000);
    }

    void startThenStopInTimerMode() {
        setFolders(" C:\\Work ", "/backup/目标");
        minutes()->setText("5");
        window->cmdStart_Click();
        QCOMPARE(calls.size(), std::size_t{1});
        // Passed exactly as typed, blanks and all.
        QCOMPARE(calls[0].source, QStringLiteral(" C:\\Work "));
        QCOMPARE(calls[0].destination, QStringLiteral("/backup/目标"));
        QCOMPARE(calls[0].statusDuringRun, QStringLiteral("Backing up..."));
        QCOMPARE(statusTexts, (QStringList{"Backing up...", "完毕."}));
        QCOMPARE(caption(), QStringLiteral("停止"));
        QVERIFY(timer()->isEnabled());
        QCOMPARE(timer()->interval(), 300000);

        window->cmdStart_Click();
        QCOMPARE(calls.size(), std::size_t{2});
        QCOMPARE(statusTexts, (QStringList{"Backing up...", "完毕.", "Backing up...", "完毕."}));
        QCOMPARE(caption(), QStringLiteral("开始"));
        QVERIFY(!timer()->isEnabled());
        QVERIFY(messages->texts.isEmpty());
    }

    void windowStartPeriods_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("interval");
        QTest::addColumn<bool>("ticking");
        QTest::newRow("one") << "1" << 60000 << true;
        QTest::newRow("blanks") << " 3 " << 180000 << true;
        QTest::newRow("half to even") << "2.5" << 120000 << true;
        QTest::newRow("past 16-bit seconds") << "547" << 32820000 << true;
        QTest::newRow("most") << "32767" << 1966020000 << true;
        QTest::newRow("zero") << "0" << 0 << false;
    }
    void windowStartPeriods() {
        QFETCH(QString, text);
        QFETCH(int, interval);
        QFETCH(bool, ticking);
        setFolders("/src", "/dst");
        minutes()->setText(text);
        window->cmdStart_Click();
        QCOMPARE(calls.size(), std::size_t{1});
        QCOMPARE(caption(), QStringLiteral("停止"));
        QVERIFY(timer()->isEnabled());
        QCOMPARE(timer()->interval(), interval);
        QCOMPARE(timer()->isTicking(), ticking);
    }

    // A "停止" over a timer that never runs would claim backups that never come.
    void windowStartRefusesPeriodsTheTimerCannotRun() {
        setFolders("/src", "/dst");
        for (const char* text : {"abc", "32768", "-3", " "}) {
            minutes()->setText(text);
            window->cmdStart_Click();
        }
        QCOMPARE(messages->texts, QStringList(4, kNeedPeriod));
        QVERIFY(calls.empty());
        QCOMPARE(caption(), QStringLiteral("开始"));
        QVERIFY(timer()->isEnabled());
        QCOMPARE(timer()->interval(), 60000);
        // A watch uses no period: its Start goes ahead.
        folderChange()->setCheckState(Qt::Checked);
        QTimer::singleShot(0, window.get(), [this] { window->menuStop_Click(); });
        window->cmdStart_Click();
        QCOMPARE(calls.size(), std::size_t{1});
    }

    void windowStartInWatchModeKeepsCaptionAndTimer() {
        QTemporaryDir watched;
        setFolders(watched.path(), "/dst");
        folderChange()->setCheckState(Qt::Checked);
        QString duringWatch;
        // Looks at the state inside the watch, then ends it as the tray's Stop would.
        QTimer::singleShot(300, window.get(), [&] {
            duringWatch = QStringLiteral("%1 %2 %3")
                              .arg(caption())
                              .arg(timer()->isEnabled())
                              .arg(timer()->interval());
            window->menuStop_Click();
        });
        window->cmdStart_Click();
        QCOMPARE(duringWatch, QStringLiteral("开始 1 60000"));
        QCOMPARE(calls.size(), std::size_t{1});
        QCOMPARE(statusTexts, (QStringList{"Backing up...", "完毕."}));
        // Stopped before any change: the start message only.
        QCOMPARE(messages->texts,
                 QStringList{"现在将开始检视文件夹 " + watched.path() + " .. 单击 OK"});
        QCOMPARE(caption(), QStringLiteral("开始"));
        QVERIFY(!timer()->isEnabled());
    }

    void trayStartAndStop() {
        // Empty text: the caption changes, the timer stays as it was (here: off).
        window->menuStop_Click();
        QVERIFY(!timer()->isEnabled());
        minutes()->setText("");
        window->menuStart_Click();
        QCOMPARE(caption(), QStringLiteral("停止"));
        QVERIFY(!timer()->isEnabled());

        // Texts without a usable period do the same.
        for (const char* text : {"abc", "-3", "32768"}) {
            minutes()->setText(text);
            window->menuStart_Click();
            QCOMPARE(caption(), QStringLiteral("停止"));
            QVERIFY(!timer()->isEnabled());
            QCOMPARE(timer()->interval(), 60000);
        }

        minutes()->setText("2");
        window->menuStart_Click();
        QVERIFY(timer()->isEnabled());
        QCOMPARE(timer()->interval(), 120000);

        window->menuStop_Click();
        QCOMPARE(caption(), QStringLiteral("开始"));
        QVERIFY(!timer()->isEnabled());
        QVERIFY(calls.empty());
        QVERIFY(messages->texts.isEmpty());
        QVERIFY(statusTexts.isEmpty());
    }

    void trayStartInWatchModeLeavesTheCaption() {
        QTemporaryDir watched;
        setFolders(watched.path(), "");
        folderChange()->setCheckState(Qt::Checked);
        QTimer::singleShot(300, window.get(), [this] { window->menuStop_Click(); });
        window->menuStart_Click();
        QCOMPARE(caption(), QStringLiteral("开始"));
        QCOMPARE(messages->texts,
                 QStringList{"现在将开始检视文件夹 " + watched.path() + " .. 单击 OK"});
        QVERIFY(calls.empty());
    }

    void timedBackupsGoOnDuringAWatch() {
        QTemporaryDir watched;
        setFolders(watched.path(), "/dst");
        folderChange()->setCheckState(Qt::Checked);
        timer()->setInterval(30);
        duringRun = [this](const FileSync::RunOptions&, int call) {
            if (call == 2)
                window->menuStop_Click();
        };
        StopWatchAfter20Seconds();
        window->menuStart_Click();
        QCOMPARE(calls.size(), std::size_t{2});
        QCOMPARE(maxDepth, 1);
        QCOMPARE(calls.back().statusDuringRun, QStringLiteral("正在备份中..."));
    }

    // A watch started inside a run's yield would hold that run for the whole watch, and every
    // tick would queue behind it.
    void watchAskedForDuringARunStartsAfterItAndTicksGoOn() {
        QTemporaryDir watched;
        setFolders(watched.path(), "/dst");
        folderChange()->setCheckState(Qt::Checked);
        duringRun = [this](const FileSync::RunOptions& options, int call) {
            if (call == 1) {
                QTimer::singleShot(0, window.get(), [this] { window->cmdStart_Click(); });
                QTimer::singleShot(0, window.get(), [this] { window->Timer1_Timer(); });
                YieldPastThrottle(options);
            } else if (call == 3) {
                window->menuStop_Click();
            }
        };
        std::size_t runsBeforeWatch = 0;
        int depthAtWatch = -1;
        messages->onShow = [&](const QString&) {
            runsBeforeWatch = calls.size();
            depthAtWatch = depth;
            QMetaObject::invokeMethod(timer(), &PeriodTimer::tick, Qt::QueuedConnection);
        };
        StopWatchAfter20Seconds();
        window->Timer1_Timer();
        // The tick's run and the one queued behind it had both returned.
        QCOMPARE(runsBeforeWatch, std::size_t{2});
        QCOMPARE(depthAtWatch, 0);
        QCOMPARE(calls.size(), std::size_t{3});
        QCOMPARE(calls[2].statusDuringRun, QStringLiteral("正在备份中..."));
    }

    void stopBeforeAWaitingWatchStartsCancelsIt() {
        QTemporaryDir watched;
        setFolders(watched.path(), "/dst");
        folderChange()->setCheckState(Qt::Checked);
        duringRun = [this](const FileSync::RunOptions& options, int call) {
            if (call != 1)
                return;
            QTimer::singleShot(0, window.get(), [this] { window->menuStart_Click(); });
            QTimer::singleShot(0, window.get(), [this] { window->menuStop_Click(); });
            YieldPastThrottle(options);
        };
        StopWatchAfter20Seconds();
        window->Timer1_Timer();
        QVERIFY(messages->texts.isEmpty());
    }

    void tickUsesTheFolderTextsOfThatMoment() {
        setFolders("/a", "/b");
        window->Timer1_Timer();
        setFolders("/c", "");
        window->Timer1_Timer();
        QCOMPARE(calls[0].source, QStringLiteral("/a"));
        QCOMPARE(calls[0].destination, QStringLiteral("/b"));
        QCOMPARE(calls[0].statusDuringRun, QStringLiteral("正在备份中..."));
        // An empty folder text names no folder: the tick runs, the engine has nothing to do.
        QCOMPARE(calls.size(), std::size_t{1});
        QCOMPARE(statusTexts,
                 (QStringList{"正在备份中...", "备份完毕.", "正在备份中...", "备份完毕."}));
        QVERIFY(messages->texts.isEmpty());
    }

    void timerTicksRunBackups() {
        setFolders("/a", "/b");
        timer()->setInterval(20);
        QTRY_VERIFY(calls.size() >= 2);
        QCOMPARE(calls[1].statusDuringRun, QStringLiteral("正在备份中..."));
    }

    void ticksDuringARunAreCoalescedIntoOneFurtherRun() {
        setFolders("/a", "/b");
        duringRun = [this](const FileSync::RunOptions& options, int call) {
            if (call != 1)
                return;
            setFolders("/a2", "/b2");
            for (int i = 0; i < 3; ++i)
                QMetaObject::invokeMethod(timer(), &PeriodTimer::tick, Qt::QueuedConnection);
            YieldPastThrottle(options);
            QCOMPARE(status()->message(), QStringLiteral("正在备份中..."));
        };
        window->Timer1_Timer();
        QCOMPARE(calls.size(), std::size_t{2});
        QCOMPARE(maxDepth, 1);
        // The further run sees the texts of its own moment.
        QCOMPARE(calls[1].source, QStringLiteral("/a2"));
        // Never "done" between the two runs.
        QCOMPARE(statusTexts, (QStringList{"正在备份中...", "正在备份中...", "备份完毕."}));
    }

    // A tick queued before the click is merged into the click's run; a Stop clicked during that
    // further run is backed up after it in turn.
    void clicksDuringRunsActAtOnceAndBackUpAfterThem() {
        setFolders("/a", "/b");
        minutes()->setText("4");
        duringRun = [this](const FileSync::RunOptions& options, int call) {
            if (call == 1) {
                QTimer::singleShot(0, window.get(), [this] { window->Timer1_Timer(); });
                QTimer::singleShot(0, window.get(), [this] { window->cmdStart_Click(); });
                YieldPastThrottle(options);
                // The click's state changes are already there, its backup is not.
                QCOMPARE(caption(), QStringLiteral("停止"));
                QVERIFY(timer()->isEnabled());
                QCOMPARE(timer()->interval(), 240000);
                QCOMPARE(calls.size(), std::size_t{1});
            } else if (call == 2) {
                QTimer::singleShot(0, window.get(), [this] { window->cmdStart_Click(); });
                YieldPastThrottle(options);
            }
        };
        window->Timer1_Timer();
        QCOMPARE(calls.size(), std::size_t{3});
        QCOMPARE(maxDepth, 1);
        QCOMPARE(calls[1].statusDuringRun, QStringLiteral("Backing up..."));
        QCOMPARE(calls[2].statusDuringRun, QStringLiteral("Backing up..."));
        QCOMPARE(status()->message(), QStringLiteral("完毕."));
        QCOMPARE(caption(), QStringLiteral("开始"));
        QVERIFY(!timer()->isEnabled());
    }

    void secondClickDuringAStartRunIsTheStopTheUserSaw() {
        setFolders("/a", "/b");
        minutes()->setText("3");
        duringRun = [this](const FileSync::RunOptions& options, int call) {
            if (call != 1)
                return;
            // The first click's run is in progress and the caption still reads "开始".
            QTimer::singleShot(0, window.get(), [this] { window->cmdStart_Click(); });
            YieldPastThrottle(options);
        };
        window->cmdStart_Click();
        QCOMPARE(calls.size(), std::size_t{2});
        QCOMPARE(maxDepth, 1);
        // Both clicks read "开始": the later one started the timed backups, the earlier one
        // does not apply its Start a second time on top.
        QCOMPARE(caption(), QStringLiteral("停止"));
        QVERIFY(timer()->isEnabled());
        QCOMPARE(timer()->interval(), 180000);
    }

    void trayStopDuringAStartRunWins() {
        setFolders("/a", "/b");
        minutes()->setText("3");
        duringRun = [this](const FileSync::RunOptions& options, int call) {
            if (call != 1)
                return;
            QTimer::singleShot(0, window.get(), [this] { window->menuStop_Click(); });
            YieldPastThrottle(options);
        };
        window->cmdStart_Click();
        QCOMPARE(calls.size(), std::size_t{1});
        QCOMPARE(caption(), QStringLiteral("开始"));
        QVERIFY(!timer()->isEnabled());
        QCOMPARE(status()->message(), QStringLiteral("完毕."));
    }

    void failuresAreCountedInTheDoneTextAndListedInItsToolTip() {
        UseRealEngine();
        QTemporaryDir source, destination;
        // Empty folder boxes are no failure, a folder that cannot be opened is.
        window->Timer1_Timer();
        QCOMPARE(status()->message(), QStringLiteral("备份完毕."));
        setFolders(source.filePath("missing"), destination.path());
        window->Timer1_Timer();
        QCOMPARE(status()->message(), QStringLiteral("备份完毕. 有 1 个项目未能复制."));
        QCOMPARE(
            status()->messageToolTip(),
            source.filePath("missing") + QStringLiteral(": 无法访问该文件夹: 找不到文件或文件夹"));

        for (const char* name : {"a", "b", "c", "d", "e"})
            QVERIFY(WriteFile(source.filePath(name), name, WriteMode::Replace));
        FailingFileSystem fileSystem;
        fileSystem.failingNames = {"b", "c", "e"};
        window->backupRunner().SetFileSystem(&fileSystem);
        setFolders(source.path(), destination.path());

        window->Timer1_Timer();
        QCOMPARE(status()->message(), QStringLiteral("备份完毕. 有 3 个项目未能复制."));
        // Listed in the order the folder is listed, which the file system chooses.
        QStringList listed = status()->messageToolTip().split('\n');
        listed.sort();
        QCOMPARE(listed.size(), 3);
        QVERIFY(listed[0].startsWith(source.filePath("b") + ": ") &&
                listed[2].startsWith(source.filePath("e") + ": "));
        QVERIFY(QFile::exists(destination.filePath("a")) &&
                QFile::exists(destination.filePath("d")));
        QVERIFY(!QFile::exists(destination.filePath("b")));

        fileSystem.failingNames = {"e"};
        window->cmdStart_Click();
        QCOMPARE(status()->message(), QStringLiteral("完毕. 有 1 个项目未能复制."));

        fileSystem.failingNames.clear();
        window->Timer1_Timer();
        QCOMPARE(status()->message(), QStringLiteral("备份完毕."));
        QCOMPARE(status()->messageToolTip(), QString());
        window->backupRunner().SetFileSystem(nullptr);
    }

    // The copies go to the disk while the window goes on answering; "done" follows.
    void finalSyncLeavesTheWindowAnswering() {
        UseRealEngine();
        QTemporaryDir source, destination;
        QVERIFY(WriteFile(source.filePath("a"), "a", WriteMode::Replace));
        std::promise<void> letGo;
        const std::shared_future<void> released = letGo.get_future().share();
        bool syncedOnWindowThread = false;
        QString statusWhileSyncing;
        FailingFileSystem fileSystem;
        fileSystem.beforeSyncToStorage = [&] {
            if (QThread::currentThread() == window->thread()) {
                syncedOnWindowThread = true;
                return;
            }
            // Answered only while the window's events run.
            QMetaObject::invokeMethod(
                window.get(),
                [&] {
                    statusWhileSyncing = status()->message();
                    letGo.set_value();
                },
                Qt::QueuedConnection);
            released.wait();
        };
        window->backupRunner().SetFileSystem(&fileSystem);
        setFolders(source.path(), destination.path());
        window->cmdStart_Click();
        window->backupRunner().SetFileSystem(nullptr);
        QVERIFY(!syncedOnWindowThread);
        QCOMPARE(statusWhileSyncing, QStringLiteral("Backing up..."));
        QCOMPARE(status()->message(), QStringLiteral("完毕."));
        QVERIFY(QFile::exists(destination.filePath("a")));
    }

    // The tray tells of failures once, again when they change and when backups work again;
    // its tool tip and icon show the last run's state, and the run log keeps every run.
    void trayNoticesToolTipAndLogFollowTheRuns() {
        UseRealEngine();
        QFile::remove(RunLog().FilePath());
        QTemporaryDir source, destination;
        for (const char* name : {"a", "b"})
            QVERIFY(WriteFile(source.filePath(name), name, WriteMode::Replace));
        FailingFileSystem fileSystem;
        fileSystem.failingNames = {"b"};
        window->backupRunner().SetFileSystem(&fileSystem);
        setFolders(source.path(), destination.path());
        auto* icon = window->findChild<QSystemTrayIcon*>("trayIcon");
        const qint64 plainIcon = icon->icon().cacheKey();
        QStringList notices;
        connect(&window->trayIcon(), &TrayIcon::noticeShown,
                [&](const QString& title, const QString& text) { notices << title + "|" + text; });

        window->Timer1_Timer();
        window->Timer1_Timer();
        QCOMPARE(notices, QStringList{"备份未能全部完成|有 1 个项目未能复制.\n" +
                                      source.filePath("b") + ": 权限不足"});
        QCOMPARE(icon->toolTip(), QStringLiteral("文件检视中...\n上次备份有 1 个项目未能复制."));
        QVERIFY(icon->icon().cacheKey() != plainIcon);

        fileSystem.failingNames.clear();
        window->cmdStart_Click();
        QCOMPARE(notices.size(), 2);
        QVERIFY(notices[1].startsWith("备份已恢复正常|"));
        QCOMPARE(icon->icon().cacheKey(), plainIcon);
        QVERIFY(icon->toolTip().startsWith("文件检视中...\n上次成功备份: "));
        QCOMPARE(icon->toolTip().count('\n'), 1);

        setFolders(source.filePath("missing"), destination.path());
        window->Timer1_Timer();
        QCOMPARE(notices.size(), 3);
        QVERIFY(notices[2].startsWith("无法访问备份文件夹|"));
        QCOMPARE(icon->toolTip().count('\n'), 2);
        window->backupRunner().SetFileSystem(nullptr);

        QFile log(RunLog().FilePath());
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(log.readAll()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 7);
        QVERIFY(lines[0].contains(" tick: examined 2, copied 1, 1 bytes, 1 failures, "));
        QCOMPARE(lines[1], "  failed " + source.filePath("b") + ": 权限不足 (" +
                               QString::fromUtf8(std::strerror(EACCES)) + ")");
        QVERIFY(lines[2].contains(" tick: ") && lines[2].contains(" 1 failures, "));
        QVERIFY(lines[4].contains(" Start: examined 2, ") && lines[4].contains(" 0 failures, "));
        QVERIFY(lines[5].contains(" tick: ") && lines[6].startsWith("  failed "));
    }

    void runLogRotatesToOneOlderFileAndNeverStopsARun() {
        QTemporaryDir folder;
        const RunLog log(folder.path());
        FileSync::RunReport report;
        const RunSummary run{true, QDateTime::currentDateTime(), {}, &report};
        QFile full(log.FilePath());
        QVERIFY(full.open(QIODevice::WriteOnly));
        full.write(QByteArray(RunLog::kMaxBytes - 10, 'x'));
        full.close();
        log.Append("tick", run);
        QCOMPARE(QFileInfo(log.FilePath() + ".1").size(), RunLog::kMaxBytes - 10);
        QCOMPARE(QFileInfo(log.FilePath()).size(), RunLog::Lines("tick", run).size());
        // A folder that cannot be made: nothing written, nothing thrown.
        QVERIFY(WriteFile(folder.filePath("file"), "x", WriteMode::Replace));
        RunLog(folder.filePath("file/Tavrick")).Append("tick", run);
    }

    void failureListShowsTheFirstTwentyThenHowManyMore() {
        const std::vector<FileSync::RunFailure> failures(
            23, {"/来源/文件", "Permission denied", FileSync::FailureKind::System, EACCES, {}});
        const QStringList lines = BackupRunner::FailureList(failures).split('\n');
        QCOMPARE(lines.size(), 21);
        QCOMPARE(lines[0], QStringLiteral("/来源/文件: 权限不足"));
        QCOMPARE(lines[20], QStringLiteral("及另外 3 项"));
    }

    void closeDuringALongRunStopsItAtTheNextFile() {
        UseRealEngine();
        QTemporaryDir source, destination;
        const QStringList names = {"a", "b", "c", "d", "e"};
        for (const QString& name : names)
            WriteFile(source.filePath(name), name.toStdString(), WriteMode::Replace);
        FailingFileSystem fileSystem;
        fileSystem.afterCopy = [this] { window->close(); };
        window->backupRunner().SetFileSystem(&fileSystem);
        setFolders(source.path(), destination.path());
        window->show();
        window->Timer1_Timer();
        QCOMPARE(QDir(destination.path()).entryList(names).size(), 1);
        window->backupRunner().SetFileSystem(nullptr);
    }

    void progressShowsOnlyDuringARun() {
        setFolders("/a", "/b");
        QString seen;
        duringRun = [&](const FileSync::RunOptions& options, int) {
            FileSync::RunReport report;
            report.filesCompared = 42;
            report.filesCopied = 7;
            options.progress(report);
            YieldPastThrottle(options);
            auto* field = status()->findChild<QLabel*>("runProgress");
            QVERIFY(field);
            seen = field->text();
            QCOMPARE(status()->panelText(1), QStringLiteral("正在备份中..."));
        };
        window->Timer1_Timer();
        QVERIFY2(seen.contains("7/42"), qPrintable(seen));
        QVERIFY(!status()->findChild<QLabel*>("runProgress"));
    }

    void yieldPumpsEventsOnlyOnceTheIntervalHasPassed() {
        setFolders("/a", "/b");
        int pumps = 0;
        QTimer everyPass;
        everyPass.setInterval(0);
        connect(&everyPass, &QTimer::timeout, [&pumps] { ++pumps; });
        QList<int> seen;
        duringRun = [&](const FileSync::RunOptions& options, int) {
            everyPass.start();
            for (int i = 0; i < 100; ++i)
                options.yield();
            seen << pumps;
            YieldPastThrottle(options);
            seen << pumps;
            options.yield();
            seen << pumps;
            everyPass.stop();
        };
        window->Timer1_Timer();
        QCOMPARE(seen.size(), 3);
        QCOMPARE(seen[0], 0);
        QVERIFY(seen[1] > 0);
        QCOMPARE(seen[2], seen[1]);
    }

    void closeDuringARunLeavesTheWindowAloneAfterwards() {
        setFolders("/a", "/b");
        QSignalSpy unloaded(window.get(), &frmMain::unloaded);
        duringRun = [&](const FileSync::RunOptions& options, int call) {
            if (call != 1)
                return;
            QTimer::singleShot(0, window.get(), [this] { window->close(); });
            QMetaObject::invokeMethod(timer(), &PeriodTimer::tick, Qt::QueuedConnection);
            YieldPastThrottle(options);
            QVERIFY(window->isUnloaded());
            QCOMPARE(unloaded.count(), 0);
        };
        window->show();
        window->cmdStart_Click();
        // One run only, and nothing written after the close.
        QCOMPARE(calls.size(), std::size_t{1});
        QCOMPARE(statusTexts, QStringList{"Backing up..."});
        QCOMPARE(caption(), QStringLiteral("开始"));
        QVERIFY(!timer()->isEnabled());
        QVERIFY(!window->isVisible());
        QCOMPARE(unloaded.count(), 1);
    }

    // A tick passes the file system each destination was last found on and keeps what it finds,
    // except where the run refused it; a click takes the file system found.
    void destinationFileSystemIsRememberedPerDestination() {
        std::vector<std::string> passed;
        std::string found = "A";
        duringRun = [&](const FileSync::RunOptions& options, int) {
            passed.push_back(options.destinationFileSystem);
            options.report->destinationFileSystem = found;
            if (found == "B" && !options.destinationFileSystem.empty())
                options.report->failures.push_back(
                    {"/dst", "not attached", FileSync::FailureKind::DriveNotAttached, 0, {}});
        };
        setFolders("/src", "/dst");
        window->Timer1_Timer();
        found = "B";
        window->Timer1_Timer();
        QCOMPARE(status()->messageToolTip(), QStringLiteral("/dst: 目标文件夹所在的驱动器未连接"));
        window->Timer1_Timer();
        window->cmdStart_Click();
        window->Timer1_Timer();
        setFolders("/src", "/other");
        window->Timer1_Timer();
        QCOMPARE(passed, (std::vector<std::string>{"", "A", "A", "", "B", ""}));
    }

    void closeWithNothingRunningIsUnloadedAtOnce() {
        QSignalSpy unloaded(window.get(), &frmMain::unloaded);
        window->show();
        QVERIFY(window->close());
        QCOMPARE(unloaded.count(), 1);
        window->Timer1_Timer();
        QVERIFY(calls.empty());
        QVERIFY(messages->texts.isEmpty());
    }

    // Ticks leave out what the change journal calls unchanged, once a complete run began after
    // it started; clicks and a tick an hour after the last full walk walk in full.
    void ticksTrustTheJournalClicksWalkInFull() {
        QTemporaryDir source, destination;
        setFolders(source.path(), destination.path());
        std::vector<bool> withJournal;
        duringRun = [&](const FileSync::RunOptions& options, int) {
            withJournal.push_back(options.journal != nullptr);
        };
        window->cmdStart_Click();
        window->Timer1_Timer();
        window->Timer1_Timer();
        now += std::chrono::minutes(61);
        window->Timer1_Timer();
        window->Timer1_Timer();
        window->cmdStart_Click();
        QCOMPARE(withJournal, (std::vector<bool>{false, true, true, false, true, false}));
    }

private:
    void UseRealEngine() {
        window->backupRunner().SetSyncEntry(
            [](std::string source, std::string destination, const FileSync::RunOptions& options) {
                FileSync::SyncFolderTree(std::move(source), std::move(destination), options);
            });
    }

    // Lets the throttle allow a pump, then yields as the engine does.
    void YieldPastThrottle(const FileSync::RunOptions& options) {
        now += BackupRunner::kYieldInterval;
        options.yield();
    }

    // Ends a watch that a fault would keep running; the test's checks then fail.
    void StopWatchAfter20Seconds() {
        QTimer::singleShot(20000, window.get(), [] { FileDetect::StopWatching(); });
    }

    void setFolders(const QString& source, const QString& destination) {
        window->findChild<QLineEdit*>("txtSource")->setText(source);
        window->findChild<QLineEdit*>("txtDestination")->setText(destination);
    }
    QLineEdit* minutes() { return window->findChild<QLineEdit*>("txtMins"); }
    QCheckBox* folderChange() { return window->findChild<QCheckBox*>("chkFolderChange"); }
    PeriodTimer* timer() { return window->findChild<PeriodTimer*>("Timer1"); }
    StatusPanels* status() { return window->findChild<StatusPanels*>("status"); }
    QString caption() { return window->findChild<QPushButton*>("cmdStart")->text(); }

    std::unique_ptr<frmMain> window;
    std::unique_ptr<RecordedMessages> messages;
    std::vector<SyncCall> calls;
    QStringList statusTexts;
    int depth = 0;
    int maxDepth = 0;
    std::function<void(const FileSync::RunOptions&, int)> duringRun;
    std::chrono::steady_clock::time_point now;
};

TAVRICK_ISOLATED_TEST_MAIN(BackupControllerTest)
#include "BackupControllerTest.moc"
