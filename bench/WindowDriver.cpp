// SPDX-License-Identifier: GPL-3.0-or-later
// Runs one backup the way the window does: through the window's BackupRunner, inside a Qt event
// loop, with the engine's yield pumping the window's events, so the benchmarks can price the
// responsiveness.
//
//   tavrick-sync-window [--no-journal] [--ticks CHANGES] [--idle SECONDS] SOURCE DESTINATION
//
// Prints the files compared and the seconds the run took, as tavrick-sync does; the window is
// up long before its runs, so the Qt start-up is not part of that time. Run it with
// QT_QPA_PLATFORM=offscreen where there is no display.
//
// After that Start click's run, --ticks times two timer ticks: one with nothing changed, and
// one after every file listed in the file CHANGES was rewritten (a byte added, its time moved
// on); each tick is timed together with a sync of the destination. --idle then leaves the
// window running for SECONDS with a one-minute period and prints the processor time it used.
// --no-journal turns the change journal off, so every tick walks both trees as today.
#include <QApplication>
#include <QLabel>
#include <QStatusBar>
#include <QTimer>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

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

struct Options {
    bool journal = true;
    std::string changes;  // the file listing what to change between the two ticks
    int idleSeconds = 0;
    const char* source = nullptr;
    const char* destination = nullptr;
};

bool Parse(int argc, char** argv, Options& options) {
    int at = 1;
    for (; at < argc && std::strncmp(argv[at], "--", 2) == 0; ++at) {
        const std::string flag = argv[at];
        if (flag == "--no-journal")
            options.journal = false;
        else if (flag == "--ticks" && at + 1 < argc)
            options.changes = argv[++at];
        else if (flag == "--idle" && at + 1 < argc)
            options.idleSeconds = std::atoi(argv[++at]);
        else
            return false;
    }
    if (argc - at != 2)
        return false;
    options.source = argv[at];
    options.destination = argv[at + 1];
    return true;
}

double ProcessorSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Puts what the tick wrote on the destination's device before the clock stops.
void SyncDestination(const char* destination) {
    const int folder = ::open(destination, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::syncfs(folder);
        ::close(folder);
    }
}

// A byte added and the time moved a minute on, so the engine sees every file as newer.
void Rewrite(const std::string& path) {
    std::ofstream(path, std::ios::app) << 'x';
    timespec times[2] = {{0, UTIME_OMIT}, {::time(nullptr) - 60, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

// Times one tick of the period timer, the sync of the destination included; also prints the
// engine's own part (`engine`, timed inside the runner) and the sync's.
void TimedTick(BackupRunner& runner, const char* destination, const FileSync::RunReport& report,
               const std::chrono::duration<double>& engine, const char* what) {
    const auto start = std::chrono::steady_clock::now();
    runner.Request(BackupRunner::Trigger::Tick);
    const auto ran = std::chrono::steady_clock::now();
    SyncDestination(destination);
    const auto end = std::chrono::steady_clock::now();
    std::printf("%s tick seconds: %.6f\n", what,
                std::chrono::duration<double>(end - start).count());
    std::printf("%s tick engine seconds: %.6f\n", what, engine.count());
    std::printf("%s tick sync seconds: %.6f\n", what,
                std::chrono::duration<double>(end - ran).count());
    std::printf("%s tick folders visited: %llu\n", what,
                static_cast<unsigned long long>(report.foldersVisited));
}

void Ticks(BackupRunner& runner, const Options& options, const FileSync::RunReport& report,
           const std::chrono::duration<double>& engine) {
    TimedTick(runner, options.destination, report, engine, "no-change");
    std::ifstream list(options.changes);
    for (std::string path; std::getline(list, path);)
        if (!path.empty())
            Rewrite(path);
    TimedTick(runner, options.destination, report, engine, "changed");
}

}  // namespace

int main(int argc, char** argv) {
    // The offscreen platform warns about what it cannot do for a window; nothing to act on here.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& message) {
        if (type != QtDebugMsg && type != QtInfoMsg && type != QtWarningMsg)
            std::fprintf(stderr, "%s\n", qUtf8Printable(message));
    });
    QApplication app(argc, argv);
    Options options;
    if (!Parse(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: tavrick-sync-window [--no-journal] [--ticks CHANGES] "
                     "[--idle SECONDS] SOURCE DESTINATION\n");
        return 2;
    }
    StatusHost host(options.source, options.destination);
    // The window's clock panels tick once a second.
    QTimer clock;
    clock.start(1000);

    BackupRunner runner(host);
    runner.SetJournalEnabled(options.journal);
    FileSync::RunReport report;
    std::chrono::duration<double> seconds{};
    // The engine call is timed from inside the runner, yields and progress included.
    runner.SetSyncEntry([&](const std::string& source, const std::string& destination,
                            const FileSync::RunOptions& given) {
        report = FileSync::RunReport{};
        FileSync::RunOptions timed = given;
        timed.report = &report;
        auto start = std::chrono::steady_clock::now();
        FileSync::SyncFolderTree(source, destination, timed);
        seconds = std::chrono::steady_clock::now() - start;
    });
    // The window left alone with the one-minute period, ticks and clock panels included.
    QTimer period;
    double idleFrom = 0;
    QObject::connect(&period, &QTimer::timeout, &app,
                     [&] { runner.Request(BackupRunner::Trigger::Tick); });
    QTimer::singleShot(0, &app, [&] {
        // A window shows its status bar, progress field included, long before a run: its first
        // paint, which loads the fonts for the Chinese texts, is no part of a run.
        FileSync::RunReport none;
        host.showRunProgress(&none);
        QCoreApplication::processEvents();
        host.showRunProgress(nullptr);
        QCoreApplication::processEvents();
        runner.Request(BackupRunner::Trigger::Click);
        if (!options.changes.empty())
            Ticks(runner, options, report, seconds);
        if (options.idleSeconds <= 0) {
            app.quit();
            return;
        }
        // Counted from here: the click's run is over, yields and all.
        idleFrom = ProcessorSeconds();
        period.start(60'000);
        QTimer::singleShot(options.idleSeconds * 1000, &app, [&] {
            std::printf("idle processor seconds: %.3f over %d s\n", ProcessorSeconds() - idleFrom,
                        options.idleSeconds);
            app.quit();
        });
    });
    app.exec();

    for (const FileSync::RunFailure& failure : report.failures)
        std::fprintf(stderr, "%s: %s\n", failure.path.c_str(), failure.reason.c_str());
    std::printf("files compared: %llu\nseconds: %.3f\n",
                static_cast<unsigned long long>(report.filesCompared), seconds.count());
    return report.failures.empty() ? 0 : 1;
}
