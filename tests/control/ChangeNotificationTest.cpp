// SPDX-License-Identifier: GPL-3.0-or-later
// The change-notification layer on a real folder: signal and re-arm semantics, lost events,
// and waits that must end instead of blocking. What counts as a change is tested through the
// watcher.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include "TestFiles.h"
#include "control/ChangeNotification.h"

namespace {

using namespace ChangeNotification;

// Long enough that a wait which should end early would trip the test's time-out instead.
constexpr int kForever = 600000;
constexpr unsigned kFilesAttributesWrites =
    kFileNameChanges | kAttributeChanges | kLastWriteChanges;

class ChangeNotificationTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(folder.isValid());
        handle = OpenFolderWatch(folder.path(), kFilesAttributesWrites);
        ASSERT_GT(handle, 0);
    }
    void TearDown() override { CloseFolderWatch(handle); }
    QString Entry(const QString& name) const { return folder.filePath(name); }

    QTemporaryDir folder;
    Handle handle = kNoHandle;
};

// Many changes make one signal, which lasts until re-armed; a change after the signal is kept
// for the next one.
TEST_F(ChangeNotificationTest, SignalAndRearm) {
    EXPECT_EQ(WaitForFolderChange(handle, 0), WaitResult::TimedOut);
    WriteFile(Entry("a"));
    WriteFile(Entry("b"));
    ASSERT_EQ(WaitForFolderChange(handle, kForever), WaitResult::Signalled);
    WriteFile(Entry("c"));
    EXPECT_EQ(WaitForFolderChange(handle, 0), WaitResult::Signalled);
    RearmFolderWatch(handle);
    EXPECT_EQ(WaitForFolderChange(handle, 0), WaitResult::Signalled);
    RearmFolderWatch(handle);
    EXPECT_EQ(WaitForFolderChange(handle, 0), WaitResult::TimedOut);
}

TEST_F(ChangeNotificationTest, LostEventsCountAsAChange) {
    QFile limitFile("/proc/sys/fs/inotify/max_queued_events");
    ASSERT_TRUE(limitFile.open(QIODevice::ReadOnly));
    const int limit = limitFile.readAll().trimmed().toInt();
    if (limit <= 0 || limit > 100000)
        GTEST_SKIP() << "event queue limit " << limit;
    // Subfolder events alone never signal, so only the overflow can.
    QDir dir(folder.path());
    for (int i = 0; i <= limit / 2; ++i) {
        const QString name = QString::number(i);
        ASSERT_TRUE(dir.mkdir(name));
        ASSERT_TRUE(dir.rmdir(name));
    }
    EXPECT_EQ(WaitForFolderChange(handle, 0), WaitResult::Signalled);
}

TEST_F(ChangeNotificationTest, CloseFromAHandlerNestedInTheWaitEndsIt) {
    QObject context;
    QTimer::singleShot(50, &context, [this] { CloseFolderWatch(handle); });
    EXPECT_EQ(WaitForFolderChange(handle, kForever), WaitResult::Failed);
    EXPECT_EQ(WaitForFolderChange(handle, kForever), WaitResult::Failed);
}

TEST(ChangeNotificationHandles, WaitsOnHandlesThatAreNotOpenFailAtOnce) {
    for (Handle handle : {kNoHandle, kInvalidHandle, Handle(12345)})
        EXPECT_EQ(WaitForFolderChange(handle, kForever), WaitResult::Failed);
    RearmFolderWatch(kInvalidHandle);
    CloseFolderWatch(kInvalidHandle);
}

}  // namespace
