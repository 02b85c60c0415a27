// SPDX-License-Identifier: GPL-3.0-or-later
// BrowseForFolder with a stand-in chooser, and once with the real dialog driven by a timer.
#include "window/FolderDialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QMouseEvent>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>
#include <QWindow>

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

QFileDialog* OpenDialog() {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* dialog = qobject_cast<QFileDialog*>(widget); dialog && dialog->isVisible())
            return dialog;
    return nullptr;
}

// Polls for the dialog and hands it to `act`; the real dialog must never hang a test.
void WhenTheDialogOpens(const std::function<void(QFileDialog*)>& act) {
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, act] {
        if (QFileDialog* dialog = OpenDialog()) {
            poll->stop();
            poll->deleteLater();
            act(dialog);
        }
    });
    poll->start(10);
}

// Modal to its owner only: Qt's modality would block the tray and the owner's close.
TEST(FolderDialogTest, TheRealDialogStaysOverItsOwnerTitledAndReturnsTheChoice) {
    SetFolderChooser(nullptr);
    QTemporaryDir parent;
    ASSERT_TRUE(QDir(parent.path()).mkdir("备份 目标"));
    const QString wanted = parent.path() + "/备份 目标";
    QPushButton owner;
    int ownerClicks = 0;
    QObject::connect(&owner, &QPushButton::clicked, [&] { ++ownerClicks; });
    owner.show();
    QString title;
    bool overOwner = false, modal = true;
    WhenTheDialogOpens([&](QFileDialog* dialog) {
        title = dialog->windowTitle();
        overOwner = dialog->windowHandle()->transientParent() == owner.windowHandle();
        modal = dialog->isModal() || QApplication::activeModalWidget();
        for (const QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
            QMouseEvent event(type, QPointF(2, 2), QPointF(2, 2), Qt::LeftButton,
                              type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                              Qt::NoModifier);
            QApplication::sendEvent(&owner, &event);
        }
        // Selecting an entry would race the dialog's background listing of the folder;
        // entering the folder makes it the choice at once.
        dialog->setDirectory(wanted);
        QMetaObject::invokeMethod(dialog, "accept");
    });

    EXPECT_EQ(BrowseForFolder(&owner), wanted);
    EXPECT_EQ(title, QString("选择文件夹..."));
    EXPECT_TRUE(overOwner);
    EXPECT_FALSE(modal);
    EXPECT_EQ(ownerClicks, 0);
}

TEST(FolderDialogTest, ClosingTheRealDialogOrItsOwnerIsACancel) {
    SetFolderChooser(nullptr);
    QWidget owner;
    WhenTheDialogOpens([](QFileDialog* dialog) { dialog->reject(); });
    EXPECT_EQ(BrowseForFolder(&owner), QString());

    owner.show();
    WhenTheDialogOpens([&owner](QFileDialog*) { owner.close(); });
    EXPECT_EQ(BrowseForFolder(&owner), QString());
    EXPECT_EQ(OpenDialog(), nullptr);
}

}  // namespace
