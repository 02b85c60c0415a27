// SPDX-License-Identifier: GPL-3.0-or-later
// Runs one backup the way the window does: through the window's BackupRunner, inside a Qt event
// loop, with the engine's yield pumping the window's events, so the benchmarks can price the
// responsiveness.
//
//   tavrick-sync-window SOURCE DESTINATION
//
// Prints the files compared and the seconds the run took, as tavrick-sync does; the window is
// up long before its runs, so the Qt start-up is not part of that time. Run it with
// QT_QPA_PLATFORM=offscreen where there is no display.
#include <QApplication>
#include <QLabel>
#include <QStatusBar>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <string>

#include "control/BackupRunner.h"
#include "engine/FileSync.h"

namespace {

// A status bar with a message line and a progress field, as the window shows them.
class StatusHost final : public BackupRunHost {
public:
    StatusHost(const char* source, const char* destination)
        : source_(QString::fromLocal8Bit(source)),
          destination_(QString::fromLocal8Bit(destination)) {
        bar_.addWidget(&message_, 1);
        bar_.addPermanentWidget(&progress_);
        bar_.resize(600, 24);
        bar_.show();
    }

    QString sourceFolderText() const override { return source_; }
    QString destinationFolderText() const override { return destination_; }
    void setStatusText(const QString& text) override { message_.setText(text); }
    void setStatusToolTip(const QString& text) override { message_.setToolTip(text); }
    void showRunProgress(const FileSync::RunReport* report) override {
        if (report)
            progress_.setText(
                QStringLiteral("复制 %1/%2").arg(report->filesCopied).arg(report->filesCompared));
        progress_.setVisible(report != nullptr);
    }
    bool isOpen() const override { return true; }

private:
    QString source_;
    QString destination_;
    QStatusBar bar_;
    QLabel message_;
    QLabel progress_;
};

}  // namespace

int main(int argc, char** argv) {
    // The offscreen platform warns about what it cannot do for a window; nothing to act on here.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& message) {
        if (type != QtDebugMsg && type != QtInfoMsg && type != QtWarningMsg)
            std::fprintf(stderr, "%s\n", qUtf8Printable(message));
    });
    QApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: tavrick-sync-window SOURCE DESTINATION\n");
        return 2;
    }
    StatusHost host(argv[1], argv[2]);
    // The window's clock panels tick once a second.
    QTimer clock;
    clock.start(1000);

    BackupRunner runner(host);
    FileSync::RunReport report;
    std::chrono::duration<double> seconds{};
    // The engine call is timed from inside the runner, yields and progress included.
    runner.SetSyncEntry([&](const std::string& source, const std::string& destination,
                            const FileSync::RunOptions& options) {
        FileSync::RunOptions timed = options;
        timed.report = &report;
        auto start = std::chrono::steady_clock::now();
        FileSync::SyncFolderTree(source, destination, timed);
        seconds = std::chrono::steady_clock::now() - start;
    });
    QTimer::singleShot(0, &app, [&] {
        // A window shows its status bar, progress field included, long before a run: its first
        // paint, which loads the fonts for the Chinese texts, is no part of a run.
        FileSync::RunReport none;
        host.showRunProgress(&none);
        QCoreApplication::processEvents();
        host.showRunProgress(nullptr);
        QCoreApplication::processEvents();
        runner.Request(BackupRunner::Trigger::Click);
        app.quit();
    });
    app.exec();

    for (const FileSync::RunFailure& failure : report.failures)
        std::fprintf(stderr, "%s: %s\n", failure.path.c_str(), failure.reason.c_str());
    std::printf("files compared: %llu\nseconds: %.3f\n",
                static_cast<unsigned long long>(report.filesCompared), seconds.count());
    return report.failures.empty() ? 0 : 1;
}
