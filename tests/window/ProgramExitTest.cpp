// SPDX-License-Identifier: GPL-3.0-or-later
// How the whole process ends: run in a child process, since the tray's Exit ends it at once.
#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

class ProgramExitTest : public QObject {
    Q_OBJECT
private slots:
    void exitDuringARunEndsAtOnce() {
        const Outcome outcome = Run("exit-during-run");
        QCOMPARE(outcome.exitCode, 0);
        QCOMPARE(outcome.lines, (QStringList{"run started", "exit chosen"}));
    }

    void closeDuringARunLetsTheRunFinishAndLeavesTheWindowAlone() {
        const Outcome outcome = Run("close-during-run");
        QCOMPARE(outcome.exitCode, 0);
        QCOMPARE(outcome.lines, (QStringList{"run started", "run resumed", "handler returned",
                                             "loop ended", "status: Backing up..."}));
    }

    void closeEndsTheProgram() {
        const Outcome outcome = Run("close");
        QCOMPARE(outcome.exitCode, 0);
        QCOMPARE(outcome.lines, (QStringList{"loop ended", "status: "}));
    }

    void closingAMessageWhileHiddenDoesNotEndTheProgram() {
        const Outcome outcome = Run("hidden-message");
        QCOMPARE(outcome.exitCode, 0);
        QCOMPARE(outcome.lines,
                 (QStringList{"message closed", "still running", "loop ended", "status: "}));
    }

    void startedThroughALinkGoesByTheExecutablesName() {
        QTemporaryDir links;
        QVERIFY(QFile::link(ProbePath(), links.filePath("Alias")));
        const Outcome outcome = Run("identity", links.filePath("Alias"));
        QCOMPARE(outcome.lines,
                 (QStringList{"settings: program_probe", "log-on entry: program_probe"}));
    }

private:
    struct Outcome {
        int exitCode = -1;
        QStringList lines;
    };

    static QString ProbePath() { return QCoreApplication::applicationDirPath() + "/program_probe"; }

    static Outcome Run(const QString& mode, const QString& program = ProbePath()) {
        QTemporaryDir configuration;
        QProcess probe;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_CONFIG_HOME", configuration.path());
        environment.insert("XDG_STATE_HOME", configuration.path());  // the run log
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        probe.setProcessEnvironment(environment);
        probe.setProcessChannelMode(QProcess::SeparateChannels);
        probe.start(program, {mode});
        Outcome outcome;
        if (!probe.waitForFinished(30000)) {
            probe.kill();
            probe.waitForFinished();
            qWarning() << "probe did not end:" << probe.readAllStandardError();
            return outcome;
        }
        if (probe.exitStatus() == QProcess::NormalExit)
            outcome.exitCode = probe.exitCode();
        outcome.lines = QString::fromUtf8(probe.readAllStandardOutput()).split('\n');
        outcome.lines.removeAll(QString());
        return outcome;
    }
};

QTEST_GUILESS_MAIN(ProgramExitTest)
#include "ProgramExitTest.moc"
