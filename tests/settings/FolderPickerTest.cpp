// BrowseForFolder with a stand-in chooser, and once with the real dialog driven by a timer.
#include "FileControl.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

#include <functional>

using namespace FileControl;

namespace {

class FakeChooser : public FolderChooser {
public:
    QString chooseFolder(QWidget* owner, const QString& title) override {
        seenOwner = owner;
        seenTitle = title;
        ++calls;
        return answer;
    }

    QString answer;
    QWidget* seenOwner = nullptr;
    QString seenTitle;
    int calls = 0;
};

class FolderPickerTest : public testing::Test {
protected:
    void SetUp() override { SetFolderChooser(&chooser); }
    void TearDown() override { SetFolderChooser(nullptr); }

    FakeChooser chooser;
    QWidget owner;
};

TEST_F(FolderPickerTest, AsksTheChooserWithTheOwnerAndTitle) {
    chooser.answer = "/home/user";

    EXPECT_EQ(BrowseForFolder(&owner), "/home/user");
    EXPECT_EQ(chooser.calls, 1);
    EXPECT_EQ(chooser.seenOwner, &owner);
    EXPECT_EQ(chooser.seenTitle, QString("选择文件夹..."));
}

TEST_F(FolderPickerTest, ACancelledChoiceIsTheEmptyText) {
    chooser.answer = QString();

    EXPECT_EQ(BrowseForFolder(&owner), QString());
}

TEST_F(FolderPickerTest, OnlyTheRootKeepsATrailingSeparator) {
    const std::pair<QString, QString> cases[] = {
        {"/", "/"},
        {"/home/user/", "/home/user"},
        {"/home/user//", "/home/user"},
        {"/home/用户/我的 文档", "/home/用户/我的 文档"},
        {"/data/a, b/", "/data/a, b"},
    };
    for (const auto& [chosen, shown] : cases) {
        SCOPED_TRACE(chosen.toStdString());
        chooser.answer = chosen;
        EXPECT_EQ(BrowseForFolder(&owner), shown);
    }
}

// Polls for the modal dialog and hands it to `act`; the real dialog must never hang a test.
void WhenTheDialogOpens(std::function<void(QFileDialog*)> act) {
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, act] {
        if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
            poll->stop();
            poll->deleteLater();
            act(dialog);
        }
    });
    poll->start(10);
}

TEST(FolderDialogTest, TheRealDialogIsModalOwnedTitledAndReturnsTheChoice) {
    SetFolderChooser(nullptr);
    QTemporaryDir parent;
    ASSERT_TRUE(QDir(parent.path()).mkdir("备份 目标"));
    const QString wanted = parent.path() + "/备份 目标";
    QWidget owner;
    QString title;
    QWidget* dialogParent = nullptr;
    bool modal = false;
    WhenTheDialogOpens([&](QFileDialog* dialog) {
        title = dialog->windowTitle();
        dialogParent = dialog->parentWidget();
        modal = dialog->isModal();
        // Selecting an entry would race the dialog's background listing of the folder;
        // entering the folder makes it the choice at once.
        dialog->setDirectory(wanted);
        QMetaObject::invokeMethod(dialog, "accept");
    });

    EXPECT_EQ(BrowseForFolder(&owner), wanted);
    EXPECT_EQ(title, QString("选择文件夹..."));
    EXPECT_EQ(dialogParent, &owner);
    EXPECT_TRUE(modal);
}

TEST(FolderDialogTest, ClosingTheRealDialogIsACancel) {
    SetFolderChooser(nullptr);
    QWidget owner;
    WhenTheDialogOpens([](QFileDialog* dialog) { dialog->reject(); });

    EXPECT_EQ(BrowseForFolder(&owner), QString());
}

}  // namespace
