// SPDX-License-Identifier: GPL-3.0-or-later
// Windows change journal: one ReadDirectoryChangesW over the whole subtree of each tree's top,
// with an overlapped event. Its records name paths below the top, so only marked folders get
// nodes. The subtree read does not enter links (junctions, symbolic links): the links found in
// the source, at the start and as they are made, count as changed on every run, so what the
// walk follows through them is always looked at. A top replaced by another folder of its name
// is seen by comparing identities, as the folder watcher does.
#include <windows.h>

#include <cstddef>
#include <vector>

#include "control/JournalWatch.h"
#include "engine/win/WidePath.h"

namespace Journal {
namespace {

constexpr DWORD kFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                          FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SIZE |
                          FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_CREATION;

bool IsLink(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// One tree's top, read for changes below it.
class TopRead {
public:
    TopRead(JournalTree& tree, std::wstring path) : tree_(tree), path_(std::move(path)) {}
    ~TopRead() {
        if (pending_) {
            DWORD ignored = 0;
            CancelIoEx(folder_, &overlapped_);
            GetOverlappedResult(folder_, &overlapped_, &ignored, TRUE);
        }
        if (event_)
            CloseHandle(event_);
        if (folder_ != INVALID_HANDLE_VALUE)
            CloseHandle(folder_);
    }
    TopRead(const TopRead&) = delete;
    TopRead& operator=(const TopRead&) = delete;

    JournalWatch::Trouble Open() {
        if (GetDriveTypeW(RootOf().c_str()) == DRIVE_REMOTE || path_.starts_with(LR"(\\?\UNC\)"))
            return {Utf8(path_) + " lies on a network share, whose changes are not all seen", true};
        folder_ =
            CreateFileW(path_.c_str(), FILE_LIST_DIRECTORY,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
        event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (folder_ == INVALID_HANDLE_VALUE || !event_ || !IdentityOf(folder_, identity_) ||
            !StartRead())
            return {Utf8(path_) + " cannot be watched", false};
        return {};
    }

    // Marks each link below the top as always changed.
    void FindLinks(const std::wstring& folder, FolderNode& node) {
        WIN32_FIND_DATAW found;
        const HANDLE search =
            FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &found,
                             FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
        if (search == INVALID_HANDLE_VALUE)
            return;
        do {
            const std::wstring name = found.cFileName;
            const bool isFolder = found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
            if (name == L"." || name == L".." || (!isFolder && !IsLink(found.dwFileAttributes)))
                continue;
            if (IsLink(found.dwFileAttributes))
                tree_.MarkWhole(tree_.Add(node, Utf8(name)), kUnwatched);
            else
                FindLinks(folder + L"\\" + name, tree_.Add(node, Utf8(name)));
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }

    JournalWatch::Trouble Drain(Mark mark) {
        for (;;) {
            DWORD bytes = 0;
            if (!GetOverlappedResult(folder_, &overlapped_, &bytes, FALSE)) {
                const DWORD error = GetLastError();
                if (error == ERROR_IO_INCOMPLETE)
                    break;
                pending_ = false;
                if (error == ERROR_NOTIFY_ENUM_DIR)
                    return {"more changes than the system's buffer holds", false};
                return {Utf8(path_) + " was moved, deleted or cannot be read", false};
            }
            pending_ = false;
            if (bytes == 0)
                return {"more changes than the system's buffer holds", false};
            Take(mark);
            if (!StartRead())
                return {Utf8(path_) + " cannot be read", false};
        }
        return StillThere() ? JournalWatch::Trouble{}
                            : JournalWatch::Trouble{Utf8(path_) + " was replaced", false};
    }

private:
    struct Identity {
        DWORD volume = 0, high = 0, low = 0;
        bool operator==(const Identity&) const = default;
    };
    static bool IdentityOf(HANDLE handle, Identity& identity) {
        BY_HANDLE_FILE_INFORMATION information;
        if (!GetFileInformationByHandle(handle, &information))
            return false;
        identity = {information.dwVolumeSerialNumber, information.nFileIndexHigh,
                    information.nFileIndexLow};
        return true;
    }
    bool StillThere() const {
        const HANDLE current =
            CreateFileW(path_.c_str(), FILE_READ_ATTRIBUTES,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (current == INVALID_HANDLE_VALUE)
            return false;
        Identity identity;
        const bool same = IdentityOf(current, identity) && identity == identity_;
        CloseHandle(current);
        return same;
    }
    static std::string Utf8(const std::wstring& text) { return WidePath::ToUtf8(text); }
    std::wstring RootOf() const {
        std::wstring root = path_.substr(0, WidePath::RootLength(path_));
        return root.ends_with(L'\\') ? root : root + L'\\';
    }
    bool StartRead() {
        overlapped_ = OVERLAPPED{};
        overlapped_.hEvent = event_;
        pending_ = ReadDirectoryChangesW(folder_, buffer_, sizeof buffer_, TRUE, kFilter, nullptr,
                                         &overlapped_, nullptr);
        return pending_;
    }

    // Each record marks the folder it happened in; a name made or moved in is new as a whole,
    // and a link made in the source stays changed.
    void Take(Mark mark) {
        for (std::size_t at = 0;;) {
            const auto* record = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(buffer_ + at);
            const std::wstring relative(record->FileName, record->FileNameLength / sizeof(wchar_t));
            const std::string path = Utf8(relative);
            std::vector<std::string_view> names;
            tree_.NamesBelowTop(tree_.Top() + "\\" + path, names);
            if (!names.empty()) {
                std::vector<std::string_view> parent(names.begin(), names.end() - 1);
                tree_.MarkOwn(tree_.Reach(parent), mark);
                if (record->Action == FILE_ACTION_ADDED ||
                    record->Action == FILE_ACTION_RENAMED_NEW_NAME) {
                    const bool link =
                        IsLink(GetFileAttributesW((path_ + L"\\" + relative).c_str()));
                    tree_.MarkWhole(tree_.Reach(names), link ? kUnwatched : mark);
                }
            }
            if (record->NextEntryOffset == 0)
                break;
            at += record->NextEntryOffset;
        }
    }

    JournalTree& tree_;
    std::wstring path_;
    HANDLE folder_ = INVALID_HANDLE_VALUE;
    HANDLE event_ = nullptr;
    Identity identity_;
    OVERLAPPED overlapped_{};
    bool pending_ = false;
    alignas(DWORD) std::byte buffer_[64 * 1024];
};

class DirectoryChangesJournal final : public JournalWatch {
public:
    Trouble Start(JournalTree& source, JournalTree& destination) {
        for (JournalTree* tree : {&source, &destination}) {
            const std::wstring path = WidePath::Absolute(tree->Top());
            if (path.empty())
                return {tree->Top() + " cannot be watched", false};
            reads_.push_back(std::make_unique<TopRead>(*tree, path));
            if (Trouble trouble = reads_.back()->Open(); !trouble.reason.empty())
                return trouble;
        }
        // Links of the destination are never walked through.
        reads_.front()->FindLinks(WidePath::Absolute(source.Top()), source.Root());
        return {};
    }

    Trouble Drain(Mark mark) override {
        for (auto& read : reads_)
            if (Trouble trouble = read->Drain(mark); !trouble.reason.empty())
                return trouble;
        return {};
    }

private:
    std::vector<std::unique_ptr<TopRead>> reads_;
};

}  // namespace

bool JournalWatch::KnowsEveryFolder() {
    return false;
}

// Not yet shown on a real Windows; under Wine the records come some time after the change, so
// a run could begin before it hears of one.
bool JournalWatch::OnByDefault() {
    return false;
}

std::unique_ptr<JournalWatch> JournalWatch::Open(JournalTree& source, JournalTree& destination,
                                                 Trouble& trouble) {
    auto watch = std::make_unique<DirectoryChangesJournal>();
    trouble = watch->Start(source, destination);
    if (!trouble.reason.empty())
        return nullptr;
    return watch;
}

}  // namespace Journal
