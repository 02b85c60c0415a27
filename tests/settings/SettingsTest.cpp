// SPDX-License-Identifier: GPL-3.0-or-later
// The settings routines against the real INI store in a fresh configuration folder per test.
#include "FileControl.h"
#include "SettingsStore.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QObject>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <sys/stat.h>

using namespace FileControl;

namespace {

class SettingsTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(configFolder.isValid());
        qputenv("XDG_CONFIG_HOME", configFolder.path().toUtf8());
        QCoreApplication::setApplicationName("Tavrick");
        txtSource.setObjectName("txtSource");
        chkFolderChange.setObjectName("chkFolderChange");
    }

    QString storeFile() const { return configFolder.path() + "/Tavrick/Tavrick.ini"; }

    QString storeText() const {
        QFile file(storeFile());
        if (!file.open(QIODevice::ReadOnly)) {
            return {};
        }
        return QString::fromUtf8(file.readAll());
    }

    // Makes the next read come from the file alone: the file is taken away, read once as
    // missing, and put back byte for byte.
    void reloadFromDisk() {
        const QByteArray onDisk = storeText().toUtf8();
        QFile::remove(storeFile());
        EXPECT_EQ(GetSetting("Settings", "txtSource", "gone"), "gone");
        writeStoreText(onDisk);
    }

    void writeStoreText(const QByteArray& text) {
        QDir().mkpath(configFolder.path() + "/Tavrick");
        QFile file(storeFile());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
    }

    QTemporaryDir configFolder;
    QObject txtSource;
    QObject chkFolderChange;
};

TEST_F(SettingsTest, StoresUnderTheApplicationNameInTheConfigurationFolder) {
    SaveControlSetting(txtSource, "/home/user/work");

    EXPECT_EQ(SettingsStore::Location("Tavrick"), storeFile());
    EXPECT_TRUE(QFile::exists(storeFile()));
}

TEST_F(SettingsTest, EveryWriteIsOnDiskWhenTheCallReturns) {
    SaveSetting("start", "hide", "1");
    EXPECT_TRUE(storeText().contains(QRegularExpression("\\[start\\]\\s+hide=1\\s")))
        << storeText().toStdString();

    SaveControlSetting(txtSource, "/srv/backup");
    EXPECT_TRUE(storeText().contains(QRegularExpression("\\[Settings\\]\\s+txtSource=/srv/backup")))
        << storeText().toStdString();
    EXPECT_TRUE(storeText().contains("hide=1"));
}

TEST_F(SettingsTest, AWriteReplacesTheFileWholeAndLeavesNothingBeside) {
    SaveSetting("start", "hide", "1");
    struct stat before {};
    ASSERT_EQ(stat(QFile::encodeName(storeFile()).constData(), &before), 0);

    SaveSetting("start", "autoBoot", "1");

    struct stat after {};
    ASSERT_EQ(stat(QFile::encodeName(storeFile()).constData(), &after), 0);
    // A new inode: the new text went to another file that took the old one's name, so a crash
    // in between leaves the old file intact.
    EXPECT_NE(before.st_ino, after.st_ino);
    EXPECT_EQ(QDir(configFolder.path() + "/Tavrick").entryList(QDir::Files | QDir::Hidden),
              QStringList{"Tavrick.ini"});
}

TEST_F(SettingsTest, TextsRoundTripExactly) {
    const QStringList values = {
        "/home/用户/文档/备份 2024",
        "/data/a, b",
        "/data/a,b,c",
        "C:\\Users\\张三\\\"quoted\"",
        " leading and trailing ",
        "@Variant(1)",
        "@ByteArray(x)",
        "a;b # not a comment",
        "key=value",
        "line one\nline two\ttab",
        "%41%20",
        "",
        "Ünïcødé ☃ 𝄞",
    };
    for (const QString& value : values) {
        SCOPED_TRACE(value.toStdString());
        SaveControlSetting(txtSource, value);
        EXPECT_EQ(LoadControlSetting(txtSource), value);
        reloadFromDisk();
        EXPECT_EQ(LoadControlSetting(txtSource), value);
    }
}

TEST_F(SettingsTest, SectionAndKeyNamesIgnoreCase) {
    SaveSetting("start", "autoBoot", "1");

    EXPECT_EQ(GetSetting("start", "autoboot", "0"), "1");
    EXPECT_EQ(GetSetting("START", "AUTOBOOT", "0"), "1");

    SaveSetting("Start", "AUTOBOOT", "0");
    reloadFromDisk();
    EXPECT_EQ(GetSetting("start", "autoboot", "1"), "0");
    // One value under its first spelling, not a second one beside it.
    const QString text = storeText();
    EXPECT_EQ(
        text.count(QRegularExpression("^autoboot=", QRegularExpression::MultilineOption |
                                                        QRegularExpression::CaseInsensitiveOption)),
        1)
        << text.toStdString();
    EXPECT_TRUE(text.contains("autoBoot=0"));
    EXPECT_EQ(text.count(QRegularExpression(
                  "^\\[start\\]",
                  QRegularExpression::MultilineOption | QRegularExpression::CaseInsensitiveOption)),
              1);
}

TEST_F(SettingsTest, HandEditedNamesInAnotherCaseAreFound) {
    writeStoreText("[SETTINGS]\nTxtSource=/mnt/usb\n[Start]\nHIDE=1\n");

    EXPECT_EQ(LoadControlSetting(txtSource), "/mnt/usb");
    EXPECT_EQ(GetSetting("start", "hide", "0"), "1");
}

TEST_F(SettingsTest, AbsentValuesGiveTheDefaultAndReadingWritesNothing) {
    EXPECT_EQ(LoadControlSetting(txtSource), QString());
    EXPECT_EQ(GetSetting("start", "hide", "0"), "0");
    EXPECT_FALSE(QFile::exists(storeFile()));

    SaveSetting("start", "hide", "1");
    EXPECT_EQ(GetSetting("start", "autoboot", "0"), "0");
    EXPECT_EQ(LoadControlSetting(chkFolderChange), QString());
}

TEST_F(SettingsTest, ARenamedExecutableStartsFromEmptySettings) {
    SaveControlSetting(txtSource, "/home/user/work");
    SaveSetting("start", "hide", "1");

    QCoreApplication::setApplicationName("Tavrick-copy");
    EXPECT_EQ(LoadControlSetting(txtSource), QString());
    EXPECT_EQ(GetSetting("start", "hide", "0"), "0");
    SaveControlSetting(txtSource, "/elsewhere");

    QCoreApplication::setApplicationName("Tavrick");
    EXPECT_EQ(LoadControlSetting(txtSource), "/home/user/work");
}

TEST_F(SettingsTest, AControlWithoutANameStoresNothingAndReadsEmpty) {
    QObject unnamed;
    SaveControlSetting(unnamed, "lost");

    EXPECT_EQ(LoadControlSetting(unnamed), QString());
    EXPECT_FALSE(QFile::exists(storeFile()));
}

TEST_F(SettingsTest, ADamagedStoreReadsAsEmptyAndAcceptsWrites) {
    writeStoreText(QByteArray("\0\xff\xfe[[[=\n=\n[Settings\ntxtSource", 30));

    EXPECT_EQ(GetSetting("start", "hide", "0"), "0");
    SaveSetting("start", "hide", "1");
    EXPECT_EQ(GetSetting("start", "hide", "0"), "1");
}

TEST_F(SettingsTest, AStoreThatCannotBeWrittenFailsQuietly) {
    // A folder where the file should be: nothing can be read or written there.
    QDir().mkpath(storeFile());

    SaveControlSetting(txtSource, "/home/user/work");
    EXPECT_EQ(LoadControlSetting(txtSource), QString());
    EXPECT_EQ(GetSetting("start", "hide", "0"), "0");
}

TEST_F(SettingsTest, AnUnquotedListWrittenByHandReadsAsItsText) {
    writeStoreText("[Settings]\ntxtSource=/data/a, b\n");

    EXPECT_EQ(LoadControlSetting(txtSource), "/data/a, b");
}

TEST(SettingConversionTest, NumbersFromStoredTexts) {
    struct Case {
        const char* text;
        qint16 integer;
        bool truth;
        int checkState;
    };
    const Case cases[] = {
        {"", 0, false, 0},      {"0", 0, false, 0},        {"1", 1, true, 1},
        {" 1 ", 1, true, 1},    {"2", 2, true, 2},         {"3", 3, true, 0},
        {"-1", -1, true, 0},    {"32767", 32767, true, 0}, {"-32768", -32768, true, 0},
        {"70000", 0, true, 0},  {"1.5", 0, true, 0},       {"0.0", 0, false, 0},
        {"abc", 0, false, 0},   {"true", 0, true, 0},      {"TRUE", 0, true, 0},
        {"false", 0, false, 0}, {"1x", 0, false, 0},       {"０", 0, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const QString text = QString::fromUtf8(c.text);
        EXPECT_EQ(SettingToInt16(text), c.integer);
        EXPECT_EQ(SettingToBool(text), c.truth);
        EXPECT_EQ(SettingToCheckState(text), c.checkState);
    }
}

}  // namespace
