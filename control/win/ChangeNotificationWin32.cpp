// SPDX-License-Identifier: GPL-3.0-or-later
// Windows change notification: ReadDirectoryChangesW on the folder with an overlapped event.
// The folder handle keeps the changes made between two reads, so none is lost between waits
// (FindFirstChangeNotification loses those under Wine). Windows ends the read when the folder
// goes away, but not when it is renamed away and another put in its place, and Wine does
// neither: so once the read has been quiet for a while, a drain checks that the path still
// names the folder that was opened, and a sleep lasts one slice at most. The check opens the
// folder, a round trip on a share, hence the quiet time. A share that does not answer for a
// moment ends nothing: its errors are transient, and the read is started again.
#include <windows.h>

#include <cstddef>
#include <utility>

#include "FolderWatch.h"
#include "win/OwnedHandle.h"
#include "win/WidePath.h"

namespace ChangeNotification {
namespace {

constexpr int IdentitySlice = 100;            // milliseconds
constexpr ULONGLONG QuietBeforeCheck = 2000;  // milliseconds
constexpr DWORD KnownFilterBits =
    FileNameChanges | FolderNameChanges | AttributeChanges | SizeChanges | LastWriteChanges;

struct Identity {
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    bool operator==(const Identity&) const = default;
};

bool IdentityOf(HANDLE handle, Identity& identity, bool& isFolder) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle, &information))
        return false;
    identity = {information.dwVolumeSerialNumber, information.nFileIndexHigh,
                information.nFileIndexLow};
    isFolder = information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
    return true;
}

// Errors of a share or a drive that may answer again.
bool Transient(DWORD error) {
    switch (error) {
        case ERROR_NETNAME_DELETED:
        case ERROR_UNEXP_NET_ERR:
        case ERROR_SEM_TIMEOUT:
        case ERROR_NETWORK_BUSY:
        case ERROR_NETWORK_UNREACHABLE:
        case ERROR_HOST_UNREACHABLE:
        case ERROR_CONNECTION_ABORTED:
        case ERROR_REM_NOT_LIST:
        case ERROR_BAD_NETPATH:
        case ERROR_DEV_NOT_EXIST:
        case ERROR_NOT_READY:
            return true;
        default:
            return false;
    }
}

OwnedHandle OpenFolderHandle(const std::wstring& path, DWORD access, DWORD flags) {
    return OwnedHandle(CreateFileW(path.c_str(), access,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr));
}

class DirectoryChangesWatch : public FolderWatch {
public:
    DirectoryChangesWatch(std::wstring path, OwnedHandle folder, OwnedHandle event,
                          Identity identity, DWORD filter)
        : path_(std::move(path)),
          folder_(std::move(folder)),
          event_(std::move(event)),
          identity_(identity),
          filter_(filter) {}
    // The system holds the address of overlapped_ and buffer_ while a read is pending.
    DirectoryChangesWatch(const DirectoryChangesWatch&) = delete;
    DirectoryChangesWatch& operator=(const DirectoryChangesWatch&) = delete;

    ~DirectoryChangesWatch() override {
        if (pending_) {
            // The system writes into buffer_ until the read is over.
            DWORD ignored = 0;
            CancelIoEx(folder_.Get(), &overlapped_);
            GetOverlappedResult(folder_.Get(), &overlapped_, &ignored, TRUE);
        }
    }

    // Starts the read that the next change completes; false when the folder cannot be read.
    bool StartRead() {
        overlapped_ = OVERLAPPED{};
        overlapped_.hEvent = event_.Get();
        pending_ = ReadDirectoryChangesW(folder_.Get(), buffer_, sizeof buffer_, FALSE, filter_,
                                         nullptr, &overlapped_, nullptr);
        return pending_;
    }

    // Completed reads are changes: the system reports only those in the filter, and a read of
    // no bytes (or ERROR_NOTIFY_ENUM_DIR) means more changes came than the buffer holds.
    Drained Drain() override {
        Drained drained;
        while (!drained.ended) {
            if (!pending_ && !StartRead()) {
                drained.ended = !Transient(GetLastError());
                break;
            }
            DWORD bytes = 0;
            if (GetOverlappedResult(folder_.Get(), &overlapped_, &bytes, FALSE)) {
                pending_ = false;
                drained.changed = true;
                continue;
            }
            const DWORD error = GetLastError();
            if (error == ERROR_IO_INCOMPLETE)
                break;
            pending_ = false;
            if (error == ERROR_NOTIFY_ENUM_DIR)
                drained.changed = true;
            else if (Transient(error))
                break;  // read again at the next drain
            else
                drained.ended = true;
        }
        const ULONGLONG now = GetTickCount64();
        if (drained.changed) {
            lastNews_ = now;
        } else if (!drained.ended && now - lastNews_ >= QuietBeforeCheck) {
            lastNews_ = now;
            drained.ended = !StillThere();
        }
        return drained;
    }

    std::intptr_t Waitable() const override {
        return reinterpret_cast<std::intptr_t>(event_.Get());
    }

    void Block(int milliseconds) override {
        WaitForSingleObject(event_.Get(), DWORD(milliseconds < 0 ? 0 : milliseconds));
    }

    int LongestSleep() const override { return IdentitySlice; }

private:
    // Whether the path still names the watched folder: not deleted, and not renamed away with
    // another folder put in its place. A share that does not answer is taken to be there.
    bool StillThere() const {
        const OwnedHandle current = OpenFolderHandle(path_, FILE_READ_ATTRIBUTES, 0);
        if (!current.IsOpen())
            return Transient(GetLastError());
        Identity identity;
        bool isFolder = false;
        const bool known = IdentityOf(current.Get(), identity, isFolder);
        return known && isFolder && identity == identity_;
    }

    std::wstring path_;
    OwnedHandle folder_;
    OwnedHandle event_;
    Identity identity_;
    DWORD filter_;
    OVERLAPPED overlapped_{};
    bool pending_ = false;
    ULONGLONG lastNews_ = GetTickCount64();  // the last change or check
    alignas(DWORD) std::byte buffer_[64 * 1024];
};

}  // namespace

std::unique_ptr<FolderWatch> FolderWatch::Open(const std::string& path, unsigned filter) {
    if (path.find('\0') != std::string::npos)
        return nullptr;
    const std::wstring wide = WidePath::Absolute(path);
    if (wide.empty())
        return nullptr;
    OwnedHandle folder = OpenFolderHandle(wide, FILE_LIST_DIRECTORY, FILE_FLAG_OVERLAPPED);
    if (!folder.IsOpen())
        return nullptr;
    Identity identity;
    bool isFolder = false;
    OwnedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!IdentityOf(folder.Get(), identity, isFolder) || !isFolder || !event.IsOpen())
        return nullptr;
    auto watch = std::make_unique<DirectoryChangesWatch>(wide, std::move(folder), std::move(event),
                                                         identity, filter & KnownFilterBits);
    if (!watch->StartRead())
        return nullptr;
    return watch;
}

}  // namespace ChangeNotification
