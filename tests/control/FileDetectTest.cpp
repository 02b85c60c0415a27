// SPDX-License-Identifier: GPL-3.0-or-later
// The watch loop on a real folder: which messages the user sees, in which order, and that
// every way of ending a watch lets WatchFolder return. Stops and file changes come from timers
// that run nested inside the watch, or from the presenter while "the box is open".
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <functional>
#include <memory>
#include <utility>

#include "FileDetect.h"
#include "Messages.h"
#include "RecordedMessages.h"
#include "TestFiles.h"

namespace {

QString Start(const QString& path) {
    return "现在将开始检视文件夹 " + path + " .. 单击 OK";
}
const QString FirstChange = "当前检视的文件夹已经发生过改变. 继续检视 Resuming watch...";
const QString FurtherChange = "检视的文件夹再次发生改变.";
QString End(const QString& path) {
    return "检视的文件夹已经终止 " + path;
}
QString CannotWatch(const QString& path) {
    return "无法检视文件夹 " + path;
}

class WatchFolderTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(root.isValid());
        ASSERT_TRUE(QDir().mkdir(watched));
    }
    void TearDown() override { FileDetect::StopWatching(); }

    // Runs the watch; a watchdog stops it and fails the test when it has not ended by itself.
    void Watch(const QString& path) {
        bool stoppedByWatchdog = false;
        QTimer watchdog;
        watchdog.setSingleShot(true);
        QObject::connect(&watchdog, &QTimer::timeout, [&] {
            stoppedByWatchdog = true;
            FileDetect::StopWatching();
        });
        watchdog.start(20000);
        FileDetect::WatchFolder(path);
        EXPECT_FALSE(stoppedByWatchdog) << "the watch did not end";
        EXPECT_EQ(FileDetect::WatchHandle, 0);
    }
    // Runs `action` from the event loop, nested inside the running watch.
    void Soon(std::function<void()> action) {
        QTimer::singleShot(100, &context, std::move(action));
    }
    // Runs `action` once the watch has looked for changes again after this moment. A look
    // reads what is pending and only then sleeps in a nested event loop; the watch loop lets
    // events run between two looks outside of any. So: first outside, then inside again.
    void AfterTheNextLook(const std::function<void()>& action) {
        auto* poll = new QTimer(&context);
        poll->setInterval(0);
        auto outside = std::make_shared<bool>(false);
        QObject::connect(poll, &QTimer::timeout, [=] {
            if (QThread::currentThread()->loopLevel() == 0) {
                *outside = true;
            } else if (*outside) {
                poll->stop();
                action();
            }
        });
        poll->start();
    }
    void StopSoon() { Soon(FileDetect::StopWatching); }
    QString Entry(const QString& name) const { return watched + "/" + name; }

    QTemporaryDir root;
    const QString watched = root.filePath("watched");
    RecordedMessages presenter;
    QObject context;  // owns the pending timers of one test
};

TEST_F(WatchFolderTest, StopBeforeAnyChangeEndsSilently) {
    StopSoon();
    Watch(watched);
    EXPECT_EQ(presenter.texts, QStringList{Start(watched)});
}

TEST_F(WatchFolderTest, StopWhileTheStartMessageIsOpenEndsTheWatch) {
    presenter.onShow = [](const QString&) { FileDetect::StopWatching(); };
    Watch(watched);
    EXPECT_EQ(presenter.texts, QStringList{Start(watched)});
}

TEST_F(WatchFolderTest, ChangesWhileABoxIsOpenAreReportedOnceAfterItCloses) {
    presenter.onShow = [&](const QString& text) {
        if (text == Start(watched))
            Soon([&] { WriteFile(Entry("a")); });
        if (text == FirstChange) {
            WriteFile(Entry("a"));
            WriteFile(Entry("b"));
            QFile::rename(Entry("b"), Entry("c"));
            QFile::remove(Entry("a"));
        }
        // A second report of the same changes would come at that look.
        if (text == FurtherChange)
            AfterTheNextLook(FileDetect::StopWatching);
    };
    Watch(watched);
    EXPECT_EQ(presenter.texts,
              (QStringList{Start(watched), FirstChange, FurtherChange, End(watched)}));
}

TEST_F(WatchFolderTest, StopWhileAChangeMessageIsOpenEndsAfterItCloses) {
    presenter.onShow = [&](const QString& text) {
        if (text == Start(watched))
            Soon([&] { WriteFile(Entry("a")); });
        if (text == FirstChange) {
            FileDetect::StopWatching();
            EXPECT_EQ(FileDetect::WatchHandle, 0);
            EXPECT_TRUE(FileDetect::WatchStopFlag);
        }
    };
    Watch(watched);
    EXPECT_EQ(presenter.texts, (QStringList{Start(watched), FirstChange, End(watched)}));
}

// Each kind of change to a file already in the folder is reported.
struct FileChange {
    const char* name;
    void (*apply)(const QString& file);
};

void PrintTo(const FileChange& change, std::ostream* out) {
    *out << change.name;
}

class FileChangeTest : public WatchFolderTest, public testing::WithParamInterface<FileChange> {};

TEST_P(FileChangeTest, IsReported) {
    WriteFile(Entry("f"));
    presenter.onShow = [&](const QString& text) {
        if (text == Start(watched))
            Soon([&] { GetParam().apply(Entry("f")); });
        if (text == FirstChange)
            StopSoon();
    };
    Watch(watched);
    EXPECT_EQ(presenter.texts, (QStringList{Start(watched), FirstChange, End(watched)}));
}

INSTANTIATE_TEST_SUITE_P(
    Watcher, FileChangeTest,
    testing::Values(
        FileChange{"Write", [](const QString& file) { WriteFile(file); }},
        FileChange{"Attributes",
                   [](const QString& file) { QFile::setPermissions(file, QFile::ReadOwner); }},
        FileChange{"Rename", [](const QString& file) { QFile::rename(file, file + ".renamed"); }},
        FileChange{"Delete", [](const QString& file) { QFile::remove(file); }}),
    [](const testing::TestParamInfo<FileChange>& change) {
        return std::string(change.param.name);
    });

TEST_F(WatchFolderTest, SubfoldersAndReadsAreNotReported) {
    WriteFile(Entry("f"));
    ASSERT_TRUE(QDir().mkdir(Entry("sub")));
    presenter.onShow = [&](const QString&) {
        Soon([&] {
            QDir folder(watched);
            folder.mkdir("new");
            folder.rename("new", "renamed");
            folder.rmdir("renamed");
            WriteFile(Entry("sub/inner"));
            QFile::setPermissions(Entry("sub"), QFile::ReadOwner | QFile::WriteOwner |
                                                    QFile::ExeOwner | QFile::ReadGroup);
            QFile file(Entry("f"));
            if (file.open(QIODevice::ReadOnly))
                file.readAll();
            AfterTheNextLook(FileDetect::StopWatching);
        });
    };
    Watch(watched);
    EXPECT_EQ(presenter.texts, QStringList{Start(watched)});
}

TEST_F(WatchFolderTest, FolderThatCannotBeWatchedIsReportedAndEndsTheWatch) {
    WriteFile(Entry("file"));
    for (const QString& path : {Entry("missing"), QString(), Entry("file")}) {
        presenter.texts.clear();
        Watch(path);
        EXPECT_EQ(presenter.texts, (QStringList{Start(path), CannotWatch(path)}));
    }
}

TEST_F(WatchFolderTest, FolderRemovedOrMovedAwayEndsTheWatch) {
    const QString moved = root.filePath("moved");
    const std::function<void()> ends[] = {[&] { QDir().rmdir(watched); },
                                          [&] { QDir().rename(watched, moved); }};
    for (const auto& end : ends) {
        presenter.texts.clear();
        QDir(moved).removeRecursively();
        QDir().mkdir(watched);
        presenter.onShow = [&](const QString& text) {
            if (text == Start(watched))
                Soon(end);
        };
        Watch(watched);
        EXPECT_EQ(presenter.texts, (QStringList{Start(watched), End(watched)}));
    }
}

TEST_F(WatchFolderTest, FolderRemovedAfterAChangeReportsTheRemovalThenTheEnd) {
    presenter.onShow = [&](const QString& text) {
        if (text == Start(watched))
            Soon([&] { WriteFile(Entry("a")); });
        if (text == FirstChange)
            Soon([&] { QDir(watched).removeRecursively(); });
    };
    Watch(watched);
    EXPECT_EQ(presenter.texts,
              (QStringList{Start(watched), FirstChange, FurtherChange, End(watched)}));
}

TEST_F(WatchFolderTest, SecondWatchWhileOneRunsReturnsAtOnce) {
    const QString other = root.filePath("other");
    QDir().mkdir(other);
    int secondWatchesReturned = 0;
    presenter.onShow = [&](const QString& text) {
        if (text != Start(watched))
            return;
        FileDetect::WatchFolder(other);  // while announcing
        ++secondWatchesReturned;
        Soon([&] {
            FileDetect::WatchFolder(other);  // while waiting
            ++secondWatchesReturned;
            StopSoon();
        });
    };
    Watch(watched);
    EXPECT_EQ(secondWatchesReturned, 2);
    EXPECT_EQ(presenter.texts, QStringList{Start(watched)});
}

TEST_F(WatchFolderTest, NewWatchAfterAStopRunsWhileTheStoppedOneUnwinds) {
    const QString other = root.filePath("other");
    QDir().mkdir(other);
    presenter.onShow = [&](const QString& text) {
        if (text == Start(watched))
            Soon([&] { WriteFile(Entry("a")); });
        if (text == FirstChange) {
            FileDetect::StopWatching();
            FileDetect::WatchFolder(other);
        }
        if (text == Start(other))
            StopSoon();
    };
    Watch(watched);
    EXPECT_EQ(presenter.texts,
              (QStringList{Start(watched), FirstChange, Start(other), End(watched)}));
}

TEST(StopWatchingTest, WithoutAWatchChangesNothing) {
    RecordedMessages presenter;
    for (bool flag : {false, true}) {
        FileDetect::WatchStopFlag = flag;
        FileDetect::StopWatching();
        FileDetect::StopWatching();
        EXPECT_EQ(FileDetect::WatchHandle, 0);
        EXPECT_EQ(FileDetect::WatchStopFlag, flag);
    }
    EXPECT_TRUE(presenter.texts.isEmpty());
}

}  // namespace
