// Runs one backup the way the window does: inside a Qt event loop, with the engine's yield
// pumping the window's events, so the benchmarks can price the responsiveness.
//
//   tavrick-sync-window SOURCE DESTINATION
//
// The yield processes pending events at most once per pump interval: asking the clock is cheap,
// processing events is not, and a window repainted every 10 ms looks no different from one
// repainted after every file. Run it with QT_QPA_PLATFORM=offscreen where there is no display.
#include <QApplication>
#include <QLabel>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <string>

#include "FileSync.h"

namespace {

constexpr auto pumpInterval = std::chrono::milliseconds(10);

// Processes the window's events when the last pump is at least one interval ago.
class ThrottledEventPump {
public:
    void operator()() {
        auto now = std::chrono::steady_clock::now();
        if (now - lastPump_ < pumpInterval)
            return;
        QCoreApplication::processEvents();
        lastPump_ = std::chrono::steady_clock::now();
    }

private:
    std::chrono::steady_clock::time_point lastPump_ = std::chrono::steady_clock::now();
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: tavrick-sync-window SOURCE DESTINATION\n");
        return 2;
    }
    // A shown window with a status line and a ticking clock gives the pump real work.
    QLabel status(QStringLiteral("正在备份中..."));
    status.resize(400, 40);
    status.show();
    QTimer clock;
    QObject::connect(&clock, &QTimer::timeout, &status,
                     [&status] { status.setText(QStringLiteral("正在备份中...")); });
    clock.start(1000);

    FileSync::RunReport report;
    FileSync::RunOptions options;
    options.yield = ThrottledEventPump();
    options.report = &report;
    // Progress is copied after every file, as the window copies it for its status bar.
    FileSync::RunReport shown;
    options.progress = [&shown](const FileSync::RunReport& progress) {
        shown.foldersVisited = progress.foldersVisited;
        shown.filesCompared = progress.filesCompared;
        shown.filesCopied = progress.filesCopied;
        shown.bytesCopied = progress.bytesCopied;
    };
    int exitCode = 0;
    QTimer::singleShot(0, &app, [&] {
        // The run alone is timed, as tavrick-sync times it: a window is up long before a run.
        auto start = std::chrono::steady_clock::now();
        FileSync::SyncFolderTree(argv[1], argv[2], options);
        std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
        std::printf("files compared: %llu\nseconds: %.3f\n",
                    static_cast<unsigned long long>(shown.filesCompared), seconds.count());
        for (const FileSync::RunFailure& failure : report.failures)
            std::fprintf(stderr, "%s: %s\n", failure.path.c_str(), failure.reason.c_str());
        exitCode = report.failures.empty() ? 0 : 1;
        app.quit();
    });
    app.exec();
    return exitCode;
}
