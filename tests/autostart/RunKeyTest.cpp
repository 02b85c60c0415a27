// SPDX-License-Identifier: GPL-3.0-or-later
// The Windows log-on places on a real registry, with HKEY_CURRENT_USER redirected to a scratch
// key, so the account's own Run key is never touched.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "TempFolder.h"
#include "autostart/win/RunKey.h"

namespace {

using namespace modSystray::RunKey;

struct StoredValue {
    DWORD type = 0;
    std::wstring bytes;  // everything stored, a terminating NUL included
    bool operator==(const StoredValue&) const = default;
};

class RunKeyTest : public testing::Test {
protected:
    void SetUp() override {
        scratchName_ = L"Software\\Tavrick-test-" + std::to_wstring(GetCurrentProcessId());
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, scratchName_.c_str(), 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &scratch_, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegOverridePredefKey(HKEY_CURRENT_USER, scratch_), ERROR_SUCCESS);
    }
    void TearDown() override {
        RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
        RegCloseKey(scratch_);
        RegDeleteTreeW(HKEY_CURRENT_USER, scratchName_.c_str());
    }

    void MakeParkingKey() {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(scratch_, kParkingKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    FILETIME LastWritten(const wchar_t* name) const {
        HKEY key = nullptr;
        FILETIME written{};
        EXPECT_EQ(RegOpenKeyExW(scratch_, name, 0, KEY_READ, &key), ERROR_SUCCESS);
        RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr, &written);
        RegCloseKey(key);
        return written;
    }
    bool KeyExists(const wchar_t* name) const {
        HKEY key = nullptr;
        const bool exists = RegOpenKeyExW(scratch_, name, 0, KEY_READ, &key) == ERROR_SUCCESS;
        RegCloseKey(key);
        return exists;
    }
    // The raw value: RegQueryValueExW adds no NUL that was not stored.
    std::optional<StoredValue> Stored(const wchar_t* keyName, const std::wstring& name) const {
        HKEY key = nullptr;
        if (RegOpenKeyExW(scratch_, keyName, 0, KEY_READ, &key) != ERROR_SUCCESS)
            return std::nullopt;
        StoredValue value;
        value.bytes.resize(512);
        DWORD size = DWORD(value.bytes.size() * sizeof(wchar_t));
        const LSTATUS status = RegQueryValueExW(key, name.c_str(), nullptr, &value.type,
                                                reinterpret_cast<BYTE*>(value.bytes.data()), &size);
        RegCloseKey(key);
        if (status != ERROR_SUCCESS)
            return std::nullopt;
        value.bytes.resize(size / sizeof(wchar_t));
        return value;
    }

private:
    std::wstring scratchName_;
    HKEY scratch_ = nullptr;
};

// A move deletes the value in one key and writes the given path afresh in the other: the
// whole quoted text with its NUL (Wine adds a missing NUL itself; Windows stores what it is
// given), names and paths outside ASCII included.
TEST_F(RunKeyTest, EntriesMoveBetweenTheRunKeyAndAnExistingParkingKey) {
    const std::wstring name = L"Tavrick备份";
    const std::wstring path = LR"(C:\程序\Tavrick备份.exe)";
    const StoredValue stored{REG_SZ, L'"' + path + L'"' + L'\0'};
    MakeParkingKey();

    Write(Place::Parked, name, LR"(C:\old\Tavrick备份.exe)");
    Remove(Place::Parked, name);
    Write(Place::Active, name, path);
    EXPECT_EQ(Stored(kActiveKey, name), stored);
    EXPECT_FALSE(Stored(kParkingKey, name));

    Remove(Place::Active, name);
    Write(Place::Parked, name, path);
    EXPECT_FALSE(Stored(kActiveKey, name));
    EXPECT_EQ(Stored(kParkingKey, name), stored);
}

TEST_F(RunKeyTest, WithoutAParkingKeyNothingIsParkedAndNoKeyIsMade) {
    Write(Place::Active, L"Tavrick", LR"(C:\Tavrick\Tavrick.exe)");
    Remove(Place::Parked, L"Tavrick");
    EXPECT_TRUE(Stored(kActiveKey, L"Tavrick"));

    Remove(Place::Active, L"Tavrick");
    Write(Place::Parked, L"Tavrick", LR"(C:\Tavrick\Tavrick.exe)");
    EXPECT_FALSE(Stored(kActiveKey, L"Tavrick"));
    EXPECT_FALSE(KeyExists(kParkingKey));
}

// What log-on does with the entry: the data is a command line, and a folder with a space in its
// name must not start a program named after the part before the space. A second start with
// the same path leaves the key as it is.
TEST_F(RunKeyTest, TheEntryStartsTheProgramAndIsWrittenOnlyWhenItChanges) {
    TempFolder folder;
    const std::filesystem::path program =
        std::filesystem::path(folder.Path()) / "My Tools" / "Tavrick.exe";
    std::filesystem::create_directory(program.parent_path());
    std::filesystem::copy_file(TAVRICK_SYNC_PROGRAM, program);
    std::filesystem::copy_file(TAVRICK_SYNC_PROGRAM,
                               std::filesystem::path(folder.Path()) / "My.exe");

    Write(Place::Active, L"Tavrick", program.wstring());
    const FILETIME first = LastWritten(kActiveKey);
    Write(Place::Active, L"Tavrick", program.wstring());
    const FILETIME second = LastWritten(kActiveKey);
    EXPECT_EQ(CompareFileTime(&first, &second), 0);

    std::wstring command = Stored(kActiveKey, L"Tavrick")->bytes;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &process));
    std::wstring started(MAX_PATH, L'\0');
    DWORD length = DWORD(started.size());
    EXPECT_TRUE(QueryFullProcessImageNameW(process.hProcess, 0, started.data(), &length));
    started.resize(length);
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    EXPECT_TRUE(std::filesystem::equivalent(started, program)) << started.c_str();
}

}  // namespace
