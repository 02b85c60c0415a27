// SPDX-License-Identifier: GPL-3.0-or-later
// The settings routines against the real INI store in a fresh configuration folder per test.
#include "settings/FileControl.h"
#include "settings/SettingsStore.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QObject>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <sys/stat.h>

using namespace FileControl;
using SettingsSchema::RowOf;
using SettingsSchema::Setting;

namespace {

class SettingsTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(configFolder.isValid());
        qputenv("XDG_CONFIG_HOME", configFolder.path().toUtf8());
        QCoreApplication::setApplicationName("Tavrick");
        txtSource.setObjectName(RowOf(Setting::SourceFolder).key);
        chkFolderChange.setObjectName(RowOf(Setting::FolderChangeOption).key);
    }

    QString storeFile() const { return configFolder.path() + "/Tavrick/Tavrick.ini"; }

    QString storeText() const {
        QFile file(storeFile());
        if (!file.open(QIODevice::ReadOnly)) {
            return {};
        }
        return QString::fromUtf8(file.readAll());
    }

    // The file's values as "section/key=value", by the INI format's own rules.
    QStringList storedLines() const {
        QStringList lines;
        QString section;
        for (const QString& line : storeText().split('\n', Qt::SkipEmptyParts)) {
            if (line.startsWith('['))
                section = line.mid(1, line.size() - 2);
            else
                lines << section + '/' + line;
        }
        lines.sort();
        return lines;
    }

    // Makes the next read come from the file alone: the file is taken away, read once as
    // missing, and put back byte for byte.
    void reloadFromDisk() {
        const QByteArray onDisk = storeText().toUtf8();
        QFile::remove(storeFile());
        EXPECT_FALSE(SettingsStore::Read("Tavrick", RowOf(Setting::SourceFolder).section,
                                         RowOf(Setting::SourceFolder).key));
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

// Files written by earlier versions must go on working: these spellings are the stored format.
TEST_F(SettingsTest, EverySettingIsOnDiskWhenTheCallReturnsUnderItsKnownSpelling) {
    SaveSetting(Setting::StartHidden, "1");
    EXPECT_EQ(storedLines(), QStringList{"start/hide=1"});

    QObject txtDestination, txtMins, unlisted;
    txtDestination.setObjectName("txtDestination");
    txtMins.setObjectName("txtMins");
    unlisted.setObjectName("txtOther");
    SaveControlSetting(txtSource, "/srv/backup");
    SaveControlSetting(txtDestination, "/mnt/usb");
    SaveControlSetting(chkFolderChange, "1");
    SaveControlSetting(txtMins, "15");
    SaveControlSetting(unlisted, "lost");
    SaveSetting(Setting::DestinationFileSystems, "id");
    SaveSetting(Setting::StartAtLogon, "1");
    EXPECT_EQ(storedLines(),
              (QStringList{"Settings/chkFolderChange=1", "Settings/destinationFileSystems=id",
                           "Settings/txtDestination=/mnt/usb", "Settings/txtMins=15",
                           "Settings/txtSource=/srv/backup", "start/autoBoot=1", "start/hide=1"}));
}

TEST_F(SettingsTest, AWriteReplacesTheFileWholeAndLeavesNothingBeside) {
    SaveSetting(Setting::StartHidden, "1");
    struct stat before {};
    ASSERT_EQ(stat(QFile::encodeName(storeFile()).constData(), &before), 0);

    SaveSetting(Setting::StartAtLogon, "1");

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
    SettingsStore::Write("Tavrick", "Section", "camelKey", "1");

    EXPECT_EQ(SettingsStore::Read("Tavrick", "section", "camelkey"), "1");
    EXPECT_EQ(SettingsStore::Read("Tavrick", "SECTION", "CAMELKEY"), "1");

    SettingsStore::Write("Tavrick", "SECTION", "CamelKey", "0");
    reloadFromDisk();
    EXPECT_EQ(SettingsStore::Read("Tavrick", "section", "camelkey"), "0");
    // One value under its first spelling, not a second one beside it.
    EXPECT_EQ(storedLines(), QStringList{"Section/camelKey=0"});
}

// Start-up reads the log-on flag as "autoboot", its handler writes "autoBoot": one value.
TEST_F(SettingsTest, HandEditedNamesInAnotherCaseAreFoundAndKept) {
    writeStoreText("[SETTINGS]\nTxtSource=/mnt/usb\n[Start]\nHIDE=1\nautoboot=1\n");

    EXPECT_EQ(LoadControlSetting(txtSource), "/mnt/usb");
    EXPECT_EQ(GetSetting(Setting::StartHidden), "1");
    EXPECT_EQ(GetSetting(Setting::StartAtLogon), "1");
    SaveSetting(Setting::StartAtLogon, "0");
    SaveControlSetting(txtSource, "/srv");
    EXPECT_EQ(storedLines(),
              (QStringList{"SETTINGS/TxtSource=/srv", "Start/HIDE=1", "Start/autoboot=0"}));
}

TEST_F(SettingsTest, AbsentValuesGiveTheDefaultAndReadingWritesNothing) {
    EXPECT_EQ(LoadControlSetting(txtSource), QString());
    EXPECT_EQ(GetSetting(Setting::StartHidden), "0");
    EXPECT_FALSE(QFile::exists(storeFile()));

    SaveSetting(Setting::StartHidden, "1");
    EXPECT_EQ(GetSetting(Setting::StartAtLogon), "0");
    EXPECT_EQ(GetSetting(Setting::DestinationFileSystems), QString());
    EXPECT_EQ(LoadControlSetting(chkFolderChange), QString());
}

TEST_F(SettingsTest, ARenamedExecutableStartsFromEmptySettings) {
    SaveControlSetting(txtSource, "/home/user/work");
    SaveSetting(Setting::StartHidden, "1");

    QCoreApplication::setApplicationName("Tavrick-copy");
    EXPECT_EQ(LoadControlSetting(txtSource), QString());
    EXPECT_EQ(GetSetting(Setting::StartHidden), "0");
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

    EXPECT_EQ(GetSetting(Setting::StartHidden), "0");
    SaveSetting(Setting::StartHidden, "1");
    EXPECT_EQ(GetSetting(Setting::StartHidden), "1");
}

TEST_F(SettingsTest, AStoreThatCannotBeWrittenFailsQuietly) {
    // A folder where the file should be: nothing can be read or written there.
    QDir().mkpath(storeFile());

    SaveControlSetting(txtSource, "/home/user/work");
    EXPECT_EQ(LoadControlSetting(txtSource), QString());
    EXPECT_EQ(GetSetting(Setting::StartHidden), "0");
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
