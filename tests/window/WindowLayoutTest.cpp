// SPDX-License-Identifier: GPL-3.0-or-later
// The main window as created: controls, captions, positions, focus order, timer, menu, status.
#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>

#include "IsolatedTestMain.h"
#include "PeriodTimer.h"
#include "Program.h"
#include "StatusPanels.h"
#include "frmMain.h"

namespace {

struct ControlRow {
    const char* name;
    const char* kind;  // class name of the widget
    const char* container;
    const char* caption;
};

const ControlRow kControls[] = {
    {"cmdHide", "QPushButton", "frmMain", "隐藏"},
    {"chkStartwithWindows", "QCheckBox", "frmMain", "跟随Windows一起启动?"},
    {"status", "StatusPanels", "frmMain", ""},
    {"frameFolders", "QGroupBox", "frmMain", "文件夹选项"},
    {"txtDestination", "QLineEdit", "frameFolders", ""},
    {"Command2", "QPushButton", "frameFolders", "..."},
    {"txtSource", "QLineEdit", "frameFolders", ""},
    {"Command1", "QPushButton", "frameFolders", "..."},
    {"Label5", "QLabel", "frameFolders", "目标文件夹:"},
    {"Label4", "QLabel", "frameFolders", "源文件夹:"},
    {"chkFolderChange", "QCheckBox", "frmMain", "当文件夹发生改变时."},
    {"txtMins", "QLineEdit", "frmMain", "1"},
    {"cmdStart", "QPushButton", "frmMain", "开始"},
    {"Label6", "QLabel", "frmMain", "/ 或者 /"},
    {"Label7", "QLabel", "frmMain", "分钟"},
    {"Label1", "QLabel", "frmMain", "备份周期:"},
};

// A control's rectangle in the window's coordinates.
QRect InWindow(const QWidget* control) {
    return QRect(control->mapTo(control->window(), QPoint(0, 0)), control->size());
}

QString CaptionOf(const QWidget* control) {
    if (auto* button = qobject_cast<const QAbstractButton*>(control))
        return button->text();
    if (auto* box = qobject_cast<const QLineEdit*>(control))
        return box->text();
    if (auto* label = qobject_cast<const QLabel*>(control))
        return label->text();
    if (auto* frame = qobject_cast<const QGroupBox*>(control))
        return frame->title();
    return {};
}

}  // namespace

class WindowLayoutTest : public QObject {
    Q_OBJECT
private slots:
    void init() { window = new frmMain; }
    void cleanup() { delete window; }

    void windowCaptionAndFixedClientSize() {
        QCOMPARE(window->objectName(), QStringLiteral("frmMain"));
        QCOMPARE(window->windowTitle(), QStringLiteral("Orlenby"));
        QCOMPARE(window->size(), QSize(395, 205));
        QCOMPARE(window->minimumSize(), window->maximumSize());
        QVERIFY(!window->windowIcon().isNull());
        QVERIFY(window->windowIcon().availableSizes().contains(QSize(32, 32)));
    }

    void controlsMatchTheDesignTable() {
        for (const ControlRow& row : kControls) {
            const QString name = QString::fromLatin1(row.name);
            auto* control = window->findChild<QWidget*>(name);
            QVERIFY2(control, row.name);
            QVERIFY2(control->inherits(row.kind), row.name);
            QCOMPARE(control->parentWidget()->objectName(), QString::fromLatin1(row.container));
            QCOMPARE(CaptionOf(control), QString::fromUtf8(row.caption));
            QVERIFY2(control->isEnabled(), row.name);
            QVERIFY2(!control->isHidden(), row.name);
            QVERIFY2(!control->size().isEmpty(), row.name);
            QVERIFY2(control->parentWidget()->rect().contains(control->geometry()), row.name);
        }
        for (auto* box : window->findChildren<QCheckBox*>())
            QCOMPARE(box->checkState(), Qt::Unchecked);
    }

    // What the user sees: nothing covers a field or a button (the watch option's box reaches
    // under the Hide button), each row reads from left to right, and the status bar runs along
    // the bottom.
    void theLayoutReadsAsDesigned() {
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        for (auto* control : window->findChildren<QWidget*>()) {
            const bool field =
                qobject_cast<QLineEdit*>(control) || qobject_cast<QPushButton*>(control);
            if (!field)
                continue;
            const QRect face = InWindow(control).adjusted(1, 1, -1, -1);
            for (QPoint spot : {face.topLeft(), face.topRight(), face.bottomLeft(),
                                face.bottomRight(), face.center()}) {
                QWidget* shown = window->childAt(spot);
                QVERIFY2(shown == control || control->isAncestorOf(shown),
                         qPrintable(control->objectName()));
            }
        }
        // The check boxes answer at their indicators.
        for (auto* box : window->findChildren<QCheckBox*>()) {
            const QRect face = InWindow(box);
            QCOMPARE(window->childAt(face.left() + 6, face.center().y()), box);
        }
        const auto rect = [this](const char* name) {
            return InWindow(window->findChild<QWidget*>(name));
        };
        // A label sits left of its field, on the field's line.
        for (const char* label : {"Label1", "Label4", "Label5"}) {
            const QRect field = InWindow(window->findChild<QLabel*>(label)->buddy());
            QVERIFY2(rect(label).left() < field.left(), label);
            QVERIFY2(rect(label).center().y() >= field.top() &&
                         rect(label).center().y() <= field.bottom(),
                     label);
        }
        // The top line: period, its unit, "or", the watch option, Hide.
        const char* topLine[] = {"Label1", "txtMins",         "Label7",
                                 "Label6", "chkFolderChange", "cmdHide"};
        for (std::size_t i = 1; i < std::size(topLine); ++i) {
            QVERIFY2(rect(topLine[i - 1]).left() < rect(topLine[i]).left(), topLine[i]);
            QVERIFY2(rect(topLine[i]).top() <= rect("txtMins").bottom() &&
                         rect(topLine[i]).bottom() >= rect("txtMins").top(),
                     topLine[i]);
        }
        // Each folder row: its path box, then its "..." button; source above destination.
        QVERIFY(rect("txtSource").right() < rect("Command1").left());
        QVERIFY(rect("txtDestination").right() < rect("Command2").left());
        QVERIFY(rect("txtSource").bottom() < rect("txtDestination").top());
        // Below the folders: the log-on option left of Start, then the status bar.
        QVERIFY(rect("frameFolders").top() > rect("txtMins").bottom());
        for (const char* name : {"chkStartwithWindows", "cmdStart"})
            QVERIFY2(rect(name).top() > rect("frameFolders").bottom() &&
                         rect(name).bottom() < rect("status").top(),
                     name);
        QVERIFY(rect("chkStartwithWindows").right() < rect("cmdStart").left());
        QCOMPARE(rect("status").bottomLeft(), window->rect().bottomLeft());
        QCOMPARE(rect("status").width(), window->width());
    }

    void onlyTheHideButtonHasAToolTip() {
        QStringList withTip;
        for (auto* widget : window->findChildren<QWidget*>())
            if (!widget->toolTip().isEmpty())
                withTip << widget->objectName() + "=" + widget->toolTip();
        QCOMPARE(withTip, QStringList{QStringLiteral("cmdHide=隐藏界面")});
    }

    void noButtonIsDefaultOrAutoDefault() {
        for (auto* button : window->findChildren<QPushButton*>()) {
            QVERIFY2(!button->isDefault(), qPrintable(button->objectName()));
            QVERIFY2(!button->autoDefault(), qPrintable(button->objectName()));
        }
    }

    void minutesBoxUsesVerdana() {
        const QFont font = window->findChild<QLineEdit*>("txtMins")->font();
        QCOMPARE(font.family(), QStringLiteral("Verdana"));
        QCOMPARE(font.pointSizeF(), 8.25);
        QCOMPARE(font.weight(), QFont::Normal);
        QVERIFY(!font.italic() && !font.underline() && !font.strikeOut());
    }

    void focusStartsAtStartAndTabFollowsTheDesignOrder() {
        window->show();
        QVERIFY(QTest::qWaitForWindowActive(window));
        const QStringList expected = {
            "cmdStart", "txtMins",        "chkFolderChange",     "Command1", "txtSource",
            "Command2", "txtDestination", "chkStartwithWindows", "cmdHide",  "cmdStart"};
        QStringList visited;
        for (int i = 0; i < expected.size(); ++i) {
            QWidget* focused = QApplication::focusWidget();
            visited << (focused ? focused->objectName() : QStringLiteral("<none>"));
            QTest::keyClick(focused ? focused : window, Qt::Key_Tab);
        }
        QCOMPARE(visited, expected);
        for (const char* name :
             {"frameFolders", "status", "Label1", "Label4", "Label5", "Label6", "Label7"})
            QVERIFY2(!(window->findChild<QWidget*>(name)->focusPolicy() & Qt::TabFocus), name);
    }

    void trayMenuHasSevenEntriesAndThereIsNoMenuBar() {
        QVERIFY(window->findChildren<QMenuBar*>().isEmpty());
        auto* menu = window->findChild<QMenu*>("menuSystray");
        QVERIFY(menu);
        QVERIFY(!menu->isVisible());
        QStringList entries;
        for (QAction* action : menu->actions())
            entries << action->objectName() + (action->isSeparator() ? "|-" : "|" + action->text());
        QCOMPARE(entries, (QStringList{"menuStart|开始监视", "menuStop|停止监视", "menuLine1|-",
                                       "menuShow|显示界面", "menuHide|隐藏界面", "menuLine2|-",
                                       "menuExit|退出"}));
        for (QAction* action : menu->actions()) {
            QVERIFY(action->isEnabled());
            QVERIFY(!action->isChecked());
            QVERIFY(action->shortcut().isEmpty());
        }
    }

    void statusBarHasThreePanelsKeptCurrent() {
        auto* bar = window->findChild<StatusPanels*>("status");
        QVERIFY(bar);
        QCOMPARE(bar->panelText(1), QString());
        const QDateTime now = QDateTime::currentDateTime();
        // Read close to a minute boundary, the clock may have moved on by one minute.
        QVERIFY(bar->panelText(2) == StatusPanels::TimeText(now) ||
                bar->panelText(2) == StatusPanels::TimeText(now.addSecs(-60)));
        QCOMPARE(bar->panelText(3), QLocale::system().toString(now.date(), QLocale::ShortFormat));
        QVERIFY(QRegularExpression("^\\d{1,2}:\\d\\d$").match(bar->panelText(2)).hasMatch());

        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        auto* message = bar->findChild<QLabel*>("panel1");
        auto* time = bar->findChild<QLabel*>("panel2");
        auto* date = bar->findChild<QLabel*>("panel3");
        QCOMPARE(time->width(), 96);
        QCOMPARE(date->width(), 96);
        QVERIFY(message->width() >= 96);
        QVERIFY(message->geometry().right() < time->geometry().left());
        QVERIFY(time->geometry().right() < date->geometry().left());

        bar->setMessage(QStringLiteral("完毕."));
        QCOMPARE(bar->message(), QStringLiteral("完毕."));
    }

    void progressFieldExistsOnlyWhileShown() {
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        auto* bar = window->findChild<StatusPanels*>("status");
        bar->setMessage(QStringLiteral("正在备份中..."));
        bar->showRunProgress(12, 3);
        auto* progress = bar->findChild<QLabel*>("runProgress");
        QVERIFY(progress);
        QVERIFY(progress->text().contains("3/12"));
        QCOMPARE(bar->panelText(1), QStringLiteral("正在备份中..."));
        for (int run = 0; run < 2; ++run) {
            bar->hideRunProgress();
            QVERIFY(!bar->findChild<QLabel*>("runProgress"));
            // The three panels are back as they were.
            for (const char* panel : {"panel1", "panel2", "panel3"})
                QVERIFY2(bar->findChild<QLabel*>(panel)->isVisible(), panel);
            QTRY_COMPARE(bar->findChild<QLabel*>("panel2")->width(), 96);
            bar->showRunProgress(20, 5);
            QTRY_VERIFY(bar->findChild<QLabel*>("runProgress")->width() > 0);
        }
    }

    void timerStartsEnabledAtOneMinute() {
        auto* timer = window->findChild<PeriodTimer*>("Timer1");
        QVERIFY(timer);
        QVERIFY(timer->isEnabled());
        QCOMPARE(timer->interval(), 60000);
        QVERIFY(timer->isTicking());
    }

    void timerRules() {
        PeriodTimer timer;
        QSignalSpy ticks(&timer, &PeriodTimer::tick);
        timer.setInterval(0);
        timer.setEnabled(true);
        QVERIFY(!timer.isTicking());
        QTest::qWait(50);
        QCOMPARE(ticks.count(), 0);

        QVERIFY(!timer.setInterval(-60000));
        QCOMPARE(timer.interval(), 0);

        QVERIFY(timer.setInterval(5));
        QTRY_VERIFY(ticks.count() >= 2);
        timer.setEnabled(false);
        QVERIFY(!timer.isTicking());
        QCOMPARE(timer.interval(), 5);
        const auto seen = ticks.count();
        QTest::qWait(30);
        QCOMPARE(ticks.count(), seen);
    }

    void folderRowsAreNamedForAssistiveTools() {
        const auto name = [this](const char* control) {
            QAccessibleInterface* accessible =
                QAccessible::queryAccessibleInterface(window->findChild<QWidget*>(control));
            return accessible ? accessible->text(QAccessible::Name) : QString();
        };
        QCOMPARE(name("txtSource"), QStringLiteral("源文件夹"));
        QCOMPARE(name("Command1"), QStringLiteral("选择源文件夹"));
        QCOMPARE(name("txtDestination"), QStringLiteral("目标文件夹"));
        QCOMPARE(name("Command2"), QStringLiteral("选择目标文件夹"));
        QCOMPARE(window->findChild<QLabel*>("Label4")->buddy(),
                 window->findChild<QWidget*>("txtSource"));
        QCOMPARE(window->findChild<QLabel*>("Label5")->buddy(),
                 window->findChild<QWidget*>("txtDestination"));
        QVERIFY(!name("txtMins").isEmpty());
        QCOMPARE(window->findChild<QLabel*>("Label1")->buddy(),
                 window->findChild<QWidget*>("txtMins"));
        QVERIFY(!name("menuSystray").isEmpty());
    }

    void standardDialogsSpeakChinese() {
        PrepareApplication();
        QMessageBox box(QMessageBox::Information, "提示", "", QMessageBox::Ok);
        QCOMPARE(box.button(QMessageBox::Ok)->text(), QStringLiteral("确定"));
        QVERIFY(QCoreApplication::translate("QFileDialog", "Look in:") != "Look in:");
    }

    void screenshotWhenAsked() {
        const QString path = qEnvironmentVariable("TAVRICK_SCREENSHOT");
        if (path.isEmpty())
            QSKIP("set TAVRICK_SCREENSHOT to a file name to save the window's picture");
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QVERIFY(window->grab().save(path));
        // And as it looks while a backup runs.
        auto* bar = window->findChild<StatusPanels*>("status");
        bar->setMessage(QStringLiteral("正在备份中..."));
        bar->showRunProgress(12345, 67);
        QTest::qWait(50);
        QVERIFY(
            window->grab().save(QFileInfo(path).path() + "/running-" + QFileInfo(path).fileName()));
    }

private:
    frmMain* window = nullptr;
};

TAVRICK_ISOLATED_TEST_MAIN(WindowLayoutTest)
#include "WindowLayoutTest.moc"
