// SPDX-License-Identifier: GPL-3.0-or-later
// EnableAutostart and DisableAutostart: the order of their steps through a recording registry,
// and the real desktop entries in a fresh configuration folder per test.
#include "LogonRegistry.h"
#include "modSystray.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QStringList>
#include <QTemporaryDir>

#include <optional>

using namespace modSystray;

namespace {

class RecordingRegistry : public LogonRegistry {
public:
    void remove(LogonPlace place, const QString& name) override {
        calls << QString("remove %1 %2").arg(PlaceName(place), name);
    }
    void write(LogonPlace place, const QString& name, const QString& path) override {
        calls << QString("write %1 %2 %3").arg(PlaceName(place), name, path);
    }
    static QString PlaceName(LogonPlace place) {
        return place == LogonPlace::Active ? "active" : "parked";
    }
    QStringList calls;
};

TEST(AutostartOrderTest, EnableDeletesTheParkedEntryThenWritesTheActiveOne) {
    RecordingRegistry registry;
    SetLogonRegistry(&registry);
    EnableAutostart("/opt/tavrick/Tavrick", "Tavrick");
    SetLogonRegistry(nullptr);

    EXPECT_EQ(registry.calls,
              (QStringList{"remove parked Tavrick", "write active Tavrick /opt/tavrick/Tavrick"}));
}

TEST(AutostartOrderTest, DisableDeletesTheActiveEntryThenParksTheGivenPath) {
    RecordingRegistry registry;
    SetLogonRegistry(&registry);
    DisableAutostart("/opt/tavrick/Tavrick", "Tavrick");
    SetLogonRegistry(nullptr);

    EXPECT_EQ(registry.calls,
              (QStringList{"remove active Tavrick", "write parked Tavrick /opt/tavrick/Tavrick"}));
}

// The build says where it put this test program; the entry names that file and its base name.
TEST(AutostartIdentityTest, TheEntryIsTheRunningExecutableUnderItsName) {
    EXPECT_EQ(AutostartExecutablePath(), QFileInfo(TAVRICK_TEST_PROGRAM).canonicalFilePath());
    EXPECT_EQ(AutostartEntryName(), "autostart_tests");
}

// A desktop entry read back by the rules of the desktop entry format, independently of the
// code that wrote it.
struct DesktopEntry {
    QString group;
    QMap<QString, QString> values;
};

// Undoes the escapes of a string value: \s \n \t \r \\.
std::optional<QString> UnescapeString(const QString& value) {
    QString text;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] != '\\') {
            text += value[i];
            continue;
        }
        if (++i == value.size()) {
            return std::nullopt;
        }
        switch (value[i].unicode()) {
            case 's':
                text += ' ';
                break;
            case 'n':
                text += '\n';
                break;
            case 't':
                text += '\t';
                break;
            case 'r':
                text += '\r';
                break;
            case '\\':
                text += '\\';
                break;
            default:
                return std::nullopt;
        }
    }
    return text;
}

// Splits an unescaped Exec value into its arguments: quoted arguments with \" \` \$ \\ inside,
// %% as a literal percent sign, and no other field code allowed.
std::optional<QStringList> ExecArguments(const QString& exec) {
    QStringList arguments;
    qsizetype i = 0;
    while (i < exec.size()) {
        if (exec[i] == ' ') {
            ++i;
            continue;
        }
        QString argument;
        if (exec[i] == '"') {
            for (++i;; ++i) {
                if (i == exec.size()) {
                    return std::nullopt;
                }
                if (exec[i] == '"') {
                    ++i;
                    break;
                }
                if (exec[i] == '\\') {
                    if (++i == exec.size() || !QString("\"`$\\").contains(exec[i])) {
                        return std::nullopt;
                    }
                } else if (QString("`$").contains(exec[i])) {
                    return std::nullopt;
                }
                argument += exec[i];
            }
        } else {
            while (i < exec.size() && exec[i] != ' ') {
                argument += exec[i++];
            }
        }
        QString literal;
        for (qsizetype k = 0; k < argument.size(); ++k) {
            if (argument[k] == '%') {
                if (++k == argument.size() || argument[k] != '%') {
                    return std::nullopt;
                }
            }
            literal += argument[k];
        }
        arguments << literal;
    }
    return arguments;
}

std::optional<DesktopEntry> ReadDesktopEntry(const QString& fileName) {
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    DesktopEntry entry;
    const QStringList lines = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        if (line.startsWith('[')) {
            if (!entry.group.isEmpty() || !line.endsWith(']')) {
                return std::nullopt;
            }
            entry.group = line.mid(1, line.size() - 2);
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        if (entry.group.isEmpty() || equals < 1) {
            return std::nullopt;
        }
        const auto value = UnescapeString(line.mid(equals + 1).trimmed());
        if (!value) {
            return std::nullopt;
        }
        entry.values.insert(line.left(equals).trimmed(), *value);
    }
    return entry;
}

class XdgAutostartTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(configFolder.isValid());
        qputenv("XDG_CONFIG_HOME", configFolder.path().toUtf8());
    }

    QString activeFile(const QString& name = "Tavrick") const {
        return configFolder.path() + "/autostart/" + name + ".desktop";
    }
    QString parkedFile(const QString& name = "Tavrick") const {
        return configFolder.path() + "/autostart-/" + name + ".desktop";
    }

    void makeParkingFolder() { ASSERT_TRUE(QDir(configFolder.path()).mkdir("autostart-")); }

    static void put(const QString& fileName, const QByteArray& text) {
        QDir().mkpath(QFileInfo(fileName).absolutePath());
        QFile file(fileName);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
    }

    // The program an entry starts, or the reason it could not be read. TryExec must name the
    // same file, so the desktop skips the entry once that file is gone.
    static QString startedProgram(const QString& fileName) {
        const auto entry = ReadDesktopEntry(fileName);
        if (!entry) {
            return "<unreadable entry>";
        }
        if (entry->group != "Desktop Entry" || entry->values.value("Type") != "Application" ||
            entry->values.value("Name").isEmpty()) {
            return "<not an application entry>";
        }
        auto arguments = ExecArguments(entry->values.value("Exec"));
        // GLib looks the program up with its %% not yet undone: a % there loses the entry.
        if (arguments && !arguments->isEmpty() && arguments->first().contains('%')) {
            return "<program GLib cannot find>";
        }
        if (arguments && arguments->size() == 2 && arguments->first() == "env") {
            arguments->removeFirst();
        }
        if (!arguments || arguments->size() != 1) {
            return "<bad Exec>";
        }
        if (entry->values.value("TryExec") != arguments->first()) {
            return "<TryExec " + entry->values.value("TryExec") + ">";
        }
        return arguments->first();
    }

    QTemporaryDir configFolder;
};

TEST_F(XdgAutostartTest, EnableCreatesTheAutostartFolderButNoParkingFolder) {
    EnableAutostart("/opt/tavrick/Tavrick", "Tavrick");

    EXPECT_EQ(startedProgram(activeFile()), "/opt/tavrick/Tavrick");
    EXPECT_EQ(ReadDesktopEntry(activeFile())->values.value("Name"), "Tavrick");
    EXPECT_FALSE(QFileInfo::exists(configFolder.path() + "/autostart-"));
}

TEST_F(XdgAutostartTest, WithoutAConfigurationFolderSetTheEntryGoesUnderHome) {
    const QByteArray home = qgetenv("HOME");
    qunsetenv("XDG_CONFIG_HOME");
    qputenv("HOME", configFolder.path().toUtf8());
    EnableAutostart("/opt/tavrick/Tavrick", "Tavrick");
    qputenv("HOME", home);

    EXPECT_EQ(startedProgram(configFolder.path() + "/.config/autostart/Tavrick.desktop"),
              "/opt/tavrick/Tavrick");
}

TEST_F(XdgAutostartTest, EnableMovesAParkedEntryBackWithTheCurrentPath) {
    makeParkingFolder();
    put(parkedFile(), "[Desktop Entry]\nType=Application\nName=Tavrick\nExec=/old/Tavrick\n");
    put(parkedFile("Other"), "[Desktop Entry]\nType=Application\nName=Other\nExec=other\n");

    EnableAutostart("/new/place/Tavrick", "Tavrick");

    EXPECT_FALSE(QFile::exists(parkedFile()));
    EXPECT_TRUE(QFile::exists(parkedFile("Other")));
    EXPECT_EQ(startedProgram(activeFile()), "/new/place/Tavrick");
}

TEST_F(XdgAutostartTest, EnableReplacesAnOlderEntryAndLeavesNoOtherFile) {
    put(activeFile(), "[Desktop Entry]\nType=Application\nName=Tavrick\nExec=/old/Tavrick\n");
    put(activeFile("Other"), "unrelated");

    EnableAutostart("/moved/Tavrick", "Tavrick");

    EXPECT_EQ(startedProgram(activeFile()), "/moved/Tavrick");
    EXPECT_EQ(QDir(configFolder.path() + "/autostart").entryList(QDir::Files | QDir::Hidden),
              (QStringList{"Other.desktop", "Tavrick.desktop"}));
}

TEST_F(XdgAutostartTest, DisableParksTheGivenPathWhereAParkingFolderExists) {
    makeParkingFolder();
    EnableAutostart("/old/Tavrick", "Tavrick");

    DisableAutostart("/current/Tavrick", "Tavrick");

    EXPECT_FALSE(QFile::exists(activeFile()));
    EXPECT_EQ(startedProgram(parkedFile()), "/current/Tavrick");
}

TEST_F(XdgAutostartTest, DisableWithoutAParkingFolderOnlyRemovesTheEntry) {
    EnableAutostart("/opt/tavrick/Tavrick", "Tavrick");

    DisableAutostart("/opt/tavrick/Tavrick", "Tavrick");

    EXPECT_FALSE(QFile::exists(activeFile()));
    EXPECT_FALSE(QFileInfo::exists(configFolder.path() + "/autostart-"));
    EXPECT_TRUE(QFileInfo(configFolder.path() + "/autostart").isDir());
}

TEST_F(XdgAutostartTest, PathsWithSpacesChineseAndShellCharactersStartExactlyThatFile) {
    makeParkingFolder();
    const QStringList paths = {
        "/home/张三/我的 程序/Tavrick",  "/opt/a \"quoted\" name/Tavrick",
        "/opt/$HOME and `date`/Tavrick", "/opt/back\\slash\\\\double/Tavrick",
        "/opt/100% sure %f %%/Tavrick",  "/opt/it's; & | <x>/Tavrick",
        " /leading space/Tavrick",       "/tab\there/Tavrick",
    };
    for (const QString& path : paths) {
        SCOPED_TRACE(path.toStdString());
        EnableAutostart(path, "Tavrick");
        EXPECT_EQ(startedProgram(activeFile()), path);
        DisableAutostart(path, "Tavrick");
        EXPECT_EQ(startedProgram(parkedFile()), path);
    }
}

TEST_F(XdgAutostartTest, AnAutostartPlaceThatCannotHoldEntriesFailsQuietly) {
    put(configFolder.path() + "/autostart", "a file where the folder should be");

    EnableAutostart("/opt/tavrick/Tavrick", "Tavrick");
    DisableAutostart("/opt/tavrick/Tavrick", "Tavrick");

    EXPECT_TRUE(QFileInfo(configFolder.path() + "/autostart").isFile());
}

}  // namespace
