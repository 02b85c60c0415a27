// SPDX-License-Identifier: GPL-3.0-or-later
// The file-system layer over Win32: the top folders are opened by "\\?\" paths, everything
// below them with NtCreateFile relative to the open folder's handle, folders are listed with
// NtQueryDirectoryFile, and data is copied with ReadFile/WriteFile at explicit offsets.
//
// A temporary is created under its name with a share mode that refuses deletion, so
// RemoveUnusedFile leaves it alone while it is written, and is marked for deletion at once, so
// it goes with its handle however the process ends. Installing it clears the mark, flushes it,
// renames it over the target in one step and only then gives it its final attributes: Windows
// refuses to replace or delete a read-only file.
//
// Names are looked up ignoring case, as Windows pairs them. Attributes are READONLY, HIDDEN and
// SYSTEM; ARCHIVE and the rest are the system's own bookkeeping and are left as they are.
#include <windows.h>
#include <winioctl.h>
#include <winternl.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "FileSystem.h"
#include "win/OwnedHandle.h"
#include "win/WidePath.h"

// ntdll's directory query, which winternl.h leaves out.
extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE folder, HANDLE event, PVOID routine,
                                               PVOID context, PIO_STATUS_BLOCK status, PVOID buffer,
                                               ULONG length, FILE_INFORMATION_CLASS entryClass,
                                               BOOLEAN single, PUNICODE_STRING mask,
                                               BOOLEAN restart);

namespace FileSync {
namespace {

constexpr std::uint32_t kAttributeMask =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
constexpr std::size_t kCopyBufferSize = 1 << 20;
constexpr std::size_t kListBufferSize = 64 * 1024;
constexpr DWORD kHoleBlock = 64 * 1024;    // NTFS's unit of sparse allocation
constexpr std::size_t kLongestName = 255;  // UTF-16 units, as NTFS and FAT allow
// The seconds from 1601, where Windows counts file times from, to 1970.
constexpr std::int64_t kEpochDifference = 11644473600;
constexpr std::int64_t kTicksPerSecond = 10000000;  // 100 ns ticks

// What the layer keeps of a temporary: the attributes to give it once it has its name, since
// a read-only file could not be renamed.
struct WindowsFileState final : File::LayerState {
    bool attributesPending = false;
    std::uint32_t attributes = 0;
};

constexpr NTSTATUS kStatusFileIsADirectory = NTSTATUS(0xC00000BA);
constexpr NTSTATUS kStatusNoMoreFiles = NTSTATUS(0x80000006);
constexpr NTSTATUS kStatusNoSuchFile = NTSTATUS(0xC000000F);
constexpr int kFileDirectoryInformation = 1;
constexpr int kFileFullDirectoryInformation = 2;
// FILE_DIRECTORY_INFORMATION is FILE_FULL_DIR_INFO without EaSize, just before the name.
constexpr std::size_t kPlainEntryNameOffset = offsetof(FILE_FULL_DIR_INFO, EaSize);
constexpr int kFileRenameInformation = 10;
constexpr int kFileNetworkOpenInformation = 34;
constexpr int kFileIdInformation = 59;
constexpr ULONG kFileCaseSensitiveInformation = 71;
constexpr ULONG kCaseSensitiveFolder = 1;  // FILE_CS_FLAG_CASE_SENSITIVE_DIR

constexpr ACCESS_MASK kFolderReadAccess =
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr ACCESS_MASK kFolderAttributeAccess =
    FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Whether a directory query failed for the kind of entries asked for, not for the folder.
bool RefusesEntryClass(NTSTATUS status) {
    return status == NTSTATUS(0xC0000003) ||  // STATUS_INVALID_INFO_CLASS
           status == NTSTATUS(0xC00000BB) ||  // STATUS_NOT_SUPPORTED
           status == NTSTATUS(0xC000000D);    // STATUS_INVALID_PARAMETER
}

// Codes the Windows 7 headers lack.
constexpr DWORD kErrorStoppedOnSymlink = 681;
constexpr DWORD kErrorDiskQuotaExceeded = 1295;

// The errno value of a Win32 error, for FileSystemError's generic category.
int ErrnoOf(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
        case ERROR_INVALID_DRIVE:
        case ERROR_DELETE_PENDING:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_PRIVILEGE_NOT_HELD:
        case ERROR_CANNOT_MAKE:
            return EACCES;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_USER_MAPPED_FILE:
            return EBUSY;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_DIRECTORY:
            return ENOTDIR;
        case ERROR_DIR_NOT_EMPTY:
            return ENOTEMPTY;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_NOT_SAME_DEVICE:
            return EXDEV;
        case ERROR_FILENAME_EXCED_RANGE:
            return ENAMETOOLONG;
        case ERROR_INVALID_PARAMETER:
            return EINVAL;
        case ERROR_NOT_SUPPORTED:
        case ERROR_INVALID_FUNCTION:
            return EOPNOTSUPP;
        case ERROR_WRITE_PROTECT:
            return EROFS;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        case ERROR_TOO_MANY_OPEN_FILES:
            return EMFILE;
        // Shares and removable drives; each has a reason of its own in the window.
        case ERROR_UNEXP_NET_ERR:
        case ERROR_NETNAME_DELETED:
            return ECONNRESET;
        case ERROR_CONNECTION_ABORTED:
        case ERROR_REQUEST_ABORTED:
            return ECONNABORTED;
        case ERROR_SEM_TIMEOUT:
            return ETIMEDOUT;
        case ERROR_NETWORK_UNREACHABLE:
            return ENETUNREACH;
        case ERROR_HOST_UNREACHABLE:
        case ERROR_REM_NOT_LIST:
            return EHOSTUNREACH;
        case ERROR_NOT_READY:
        case ERROR_DEV_NOT_EXIST:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEVICE_REMOVED:
            return ENODEV;
        case ERROR_BUSY:
        case ERROR_NETWORK_BUSY:
            return EBUSY;
        case ERROR_NETWORK_ACCESS_DENIED:
        case ERROR_LOGON_FAILURE:
        case ERROR_CANT_ACCESS_FILE:
            return EACCES;
        case kErrorDiskQuotaExceeded:  // Windows has no EDQUOT
            return ENOSPC;
        case ERROR_FILE_TOO_LARGE:
            return EFBIG;
        case ERROR_NO_UNICODE_TRANSLATION:
            return EILSEQ;
        case ERROR_CANT_RESOLVE_FILENAME:
        case kErrorStoppedOnSymlink:
            return ELOOP;
        default:
            return EIO;
    }
}

[[noreturn]] void ThrowLastError(const std::string& path) {
    throw FileSystemError(ErrnoOf(GetLastError()), path);
}

[[noreturn]] void ThrowStatus(NTSTATUS status, const std::string& path) {
    throw FileSystemError(ErrnoOf(RtlNtStatusToDosError(status)), path);
}

HANDLE AsHandle(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

HANDLE HandleOf(const Folder& folder) {
    return AsHandle(folder.Handle());
}

HANDLE HandleOf(const File& file) {
    return AsHandle(file.Handle());
}

// A file time in whole seconds since the epoch, rounded down, and the nanoseconds after them.
void SplitTicks(const LARGE_INTEGER& time, std::int64_t& seconds, std::uint32_t& nanoseconds) {
    std::int64_t sinceEpoch = time.QuadPart - kEpochDifference * kTicksPerSecond;
    seconds = sinceEpoch / kTicksPerSecond;
    std::int64_t rest = sinceEpoch % kTicksPerSecond;
    if (rest < 0) {
        --seconds;
        rest += kTicksPerSecond;
    }
    nanoseconds = static_cast<std::uint32_t>(rest * 100);
}

FileFacts FactsOf(const FILE_NETWORK_OPEN_INFORMATION& information) {
    FileFacts facts;
    SplitTicks(information.LastWriteTime, facts.modifiedSeconds, facts.modifiedNanoseconds);
    SplitTicks(information.ChangeTime, facts.changedSeconds, facts.changedNanoseconds);
    facts.size = static_cast<std::uint64_t>(information.EndOfFile.QuadPart);
    facts.attributes = information.FileAttributes & kAttributeMask;
    return facts;
}

std::int64_t TicksOf(const FileFacts& facts) {
    return (facts.modifiedSeconds + kEpochDifference) * kTicksPerSecond +
           facts.modifiedNanoseconds / 100;
}

// A name as the NT calls take it, converted into a buffer of this object.
class NtName {
public:
    explicit NtName(std::string_view name) : wide_(WidePath::FromUtf8(name)) {
        tooLong_ = wide_.size() > kLongestName;
        invalid_ = wide_.empty() != name.empty();
        text_.Buffer = wide_.data();
        text_.Length = text_.MaximumLength =
            static_cast<USHORT>(std::min(wide_.size(), kLongestName) * sizeof(wchar_t));
    }
    // Throws for a name no call could take.
    void Check(const std::string& path) const {
        if (tooLong_)
            throw FileSystemError(ENAMETOOLONG, path);
        if (invalid_)
            throw FileSystemError(EINVAL, path);
    }
    bool Usable() const { return !tooLong_ && !invalid_; }
    // Object attributes naming this name inside the folder `root`, ignoring case.
    OBJECT_ATTRIBUTES In(HANDLE root) {
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &text_, OBJ_CASE_INSENSITIVE, root, nullptr);
        return attributes;
    }

private:
    std::wstring wide_;
    UNICODE_STRING text_{};
    bool tooLong_ = false;
    bool invalid_ = false;
};

// Opens `name` inside `root`. `information` receives what the open did (e.g. FILE_CREATED).
NTSTATUS OpenRelative(HANDLE root, NtName& name, ACCESS_MASK access, ULONG share, ULONG disposition,
                      ULONG options, OwnedHandle& handle, ULONG_PTR* information = nullptr,
                      ULONG attributes = 0) {
    OBJECT_ATTRIBUTES object = name.In(root);
    IO_STATUS_BLOCK status{};
    HANDLE opened = INVALID_HANDLE_VALUE;
    NTSTATUS result = NtCreateFile(
        &opened, access, &object, &status, nullptr, attributes, share, disposition,
        options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT, nullptr, 0);
    handle = OwnedHandle(NT_SUCCESS(result) ? opened : INVALID_HANDLE_VALUE);
    if (information)
        *information = status.Information;
    return result;
}

// What `name` in `root` is, links followed, in one query through a short-lived handle.
// NtQueryFullAttributesFile would need no handle, but Wine ignores its root folder.
// Times, size and attributes of an open file or folder, in one query.
// NtQueryInformationFile for a class the headers' FILE_INFORMATION_CLASS is too narrow to hold:
// the system reads the class as a 32-bit number either way.
NTSTATUS QueryByClassNumber(HANDLE handle, IO_STATUS_BLOCK& status, void* buffer, ULONG length,
                            ULONG informationClass) {
    using Query = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG);
    const auto query =
        reinterpret_cast<Query>(reinterpret_cast<void (*)()>(&NtQueryInformationFile));
    return query(handle, &status, buffer, length, informationClass);
}

NTSTATUS QueryOpen(HANDLE handle, FILE_NETWORK_OPEN_INFORMATION& information) {
    IO_STATUS_BLOCK status{};
    return NtQueryInformationFile(handle, &status, &information, sizeof information,
                                  FILE_INFORMATION_CLASS(kFileNetworkOpenInformation));
}

bool QueryEntry(HANDLE root, NtName& name, FILE_NETWORK_OPEN_INFORMATION& information) {
    OwnedHandle handle;
    if (!NT_SUCCESS(OpenRelative(root, name, FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShareAll,
                                 FILE_OPEN, 0, handle)))
        return false;
    NTSTATUS result = QueryOpen(handle.Get(), information);
    return NT_SUCCESS(result);
}

// Whether an open file or folder is a link: a symbolic link, a junction or a mount point.
// Other reparse points (deduplicated or cloud files) count as what they hold.
bool IsLink(HANDLE handle) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    return GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) &&
           (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
           (tag.ReparseTag == IO_REPARSE_TAG_SYMLINK ||
            tag.ReparseTag == IO_REPARSE_TAG_MOUNT_POINT);
}

bool SetDeleteMark(HANDLE handle, bool remove) {
    FILE_DISPOSITION_INFO disposition{static_cast<BOOLEAN>(remove)};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                      sizeof disposition);
}

// Replaces the low attribute bits of the open file or folder, keeping the others.
bool SetAttributeBits(HANDLE handle, std::uint32_t attributes) {
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic))
        return false;
    DWORD wanted = (basic.FileAttributes & ~kAttributeMask) | (attributes & kAttributeMask);
    if (wanted == basic.FileAttributes)
        return true;
    FILE_BASIC_INFO change{};
    change.FileAttributes = wanted ? wanted : FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(handle, FileBasicInfo, &change, sizeof change);
}

// The head of what FSCTL_GET_REPARSE_POINT gives for a symbolic link or a junction; a link's
// path buffer follows a flags field, a junction's follows the names at once.
struct LinkReparseData {
    ULONG tag;
    USHORT dataLength;
    USHORT reserved;
    USHORT substituteOffset;
    USHORT substituteLength;
    USHORT printOffset;
    USHORT printLength;
};

bool IsLinkTag(DWORD tag) {
    return tag == IO_REPARSE_TAG_SYMLINK || tag == IO_REPARSE_TAG_MOUNT_POINT;
}

// The target text of the link or junction open as `handle`; false when it is neither.
bool ReadLinkText(HANDLE handle, std::string& target) {
    auto buffer = std::make_unique<std::max_align_t[]>(MAXIMUM_REPARSE_DATA_BUFFER_SIZE /
                                                       sizeof(std::max_align_t));
    DWORD got = 0;
    if (!DeviceIoControl(handle, FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer.get(),
                         MAXIMUM_REPARSE_DATA_BUFFER_SIZE, &got, nullptr) ||
        got < sizeof(LinkReparseData))
        return false;
    const auto* data = reinterpret_cast<const LinkReparseData*>(buffer.get());
    if (!IsLinkTag(data->tag))
        return false;
    std::size_t paths = sizeof(LinkReparseData) + (data->tag == IO_REPARSE_TAG_SYMLINK ? 4 : 0);
    const auto* base = reinterpret_cast<const char*>(buffer.get()) + paths;
    // The name shown to users is the text the link was made with; some tools leave it empty.
    bool printed = data->printLength > 0;
    USHORT offset = printed ? data->printOffset : data->substituteOffset;
    USHORT length = printed ? data->printLength : data->substituteLength;
    if (paths + offset + length > got)
        return false;
    std::wstring_view text(reinterpret_cast<const wchar_t*>(base + offset),
                           length / sizeof(wchar_t));
    if (!printed && text.starts_with(LR"(\??\)"))
        text.remove_prefix(4);
    target = WidePath::ToUtf8(text);
    return true;
}

// The path of an open file or folder with every link resolved; empty when unknown.
std::string FinalPathOf(HANDLE handle) {
    DWORD length = GetFinalPathNameByHandleW(handle, nullptr, 0, FILE_NAME_NORMALIZED);
    if (length == 0)
        return {};
    std::wstring path(length, L'\0');
    DWORD written = GetFinalPathNameByHandleW(handle, path.data(), length, FILE_NAME_NORMALIZED);
    if (written == 0 || written >= length)
        return {};
    path.resize(written);
    return WidePath::ToUtf8(path);
}

// The reparse tag of `name` in `root`, the name itself looked at; 0 when it has none.
DWORD ReparseTagOf(HANDLE root, NtName& name) {
    OwnedHandle handle;
    if (!NT_SUCCESS(OpenRelative(root, name, FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShareAll,
                                 FILE_OPEN, FILE_OPEN_REPARSE_POINT, handle)))
        return 0;
    FILE_ATTRIBUTE_TAG_INFO tag;
    bool known = GetFileInformationByHandleEx(handle.Get(), FileAttributeTagInfo, &tag, sizeof tag);
    return known && (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? tag.ReparseTag : 0;
}

char* CopyBuffer() {
    thread_local std::unique_ptr<char[]> buffer;
    if (!buffer)
        buffer = std::make_unique<char[]>(kCopyBufferSize);
    return buffer.get();
}

OVERLAPPED At(std::uint64_t offset) {
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(offset);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return position;
}

// Where the next data of a file with holes lies.
enum class DataRange { Found, None, Unknown };

DataRange NextData(HANDLE file, std::uint64_t offset, std::uint64_t size, std::uint64_t& start,
                   std::uint64_t& end) {
    FILE_ALLOCATED_RANGE_BUFFER query{};
    query.FileOffset.QuadPart = static_cast<LONGLONG>(offset);
    query.Length.QuadPart = static_cast<LONGLONG>(size - offset);
    FILE_ALLOCATED_RANGE_BUFFER found{};
    DWORD got = 0;
    if (!DeviceIoControl(file, FSCTL_QUERY_ALLOCATED_RANGES, &query, sizeof query, &found,
                         sizeof found, &got, nullptr) &&
        GetLastError() != ERROR_MORE_DATA)
        return DataRange::Unknown;
    if (got < sizeof found)
        return DataRange::None;
    start = std::max(offset, static_cast<std::uint64_t>(found.FileOffset.QuadPart));
    end = std::min(size,
                   static_cast<std::uint64_t>(found.FileOffset.QuadPart + found.Length.QuadPart));
    return DataRange::Found;
}

// Lets the file keep holes where nothing is written; without it (FAT) they read as zeros.
void MakeSparse(HANDLE file) {
    DWORD ignored = 0;
    DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
}

bool AllZero(const char* data, std::size_t length) {
    return std::all_of(data, data + length, [](char c) { return c == 0; });
}

class WindowsFileSystem final : public FileSystem {
public:
    // Keeps no state between calls; each call works on the handles it is given.
    bool SafeForReadAhead() const override { return true; }
    // A renamed file keeps the security descriptor, compression and encryption it was created
    // with; made in its own folder, it inherits that folder's. It goes with its handle.
    bool TemporariesInTargetFolder() const override { return true; }

    Folder GetFolder(const std::string& path) override { return OpenFolderByPath(path); }

    Folder GetSubFolder(const Folder& parent, std::string_view name) override {
        return OpenSubFolder(parent, name, FILE_OPEN, nullptr, true);
    }

    Folder GetSubFolderNoFollow(const Folder& parent, std::string_view name) override {
        return OpenSubFolder(parent, name, FILE_OPEN, nullptr, false);
    }

    // Reads the folder in large batches. Some NAS and virtual-machine shares refuse the full
    // entries, which carry nothing needed here: the plain ones are asked for instead.
    void List(const Folder& folder, FolderListing& listing) override {
        listing.Clear();
        alignas(LONGLONG) char buffer[kListBufferSize];
        // Every listing starts the folder over, wherever an earlier one left it.
        BOOLEAN restart = TRUE;
        int entryClass = kFileFullDirectoryInformation;
        for (;;) {
            IO_STATUS_BLOCK io{};
            const NTSTATUS status = NtQueryDirectoryFile(
                HandleOf(folder), nullptr, nullptr, nullptr, &io, buffer, sizeof buffer,
                FILE_INFORMATION_CLASS(entryClass), FALSE, nullptr, restart);
            // An empty FAT root has not even "." and "..", and says it holds no such file.
            if (status == kStatusNoMoreFiles || status == kStatusNoSuchFile)
                return;
            if (entryClass == kFileFullDirectoryInformation && RefusesEntryClass(status)) {
                entryClass = kFileDirectoryInformation;
                continue;
            }
            if (!NT_SUCCESS(status))
                ThrowStatus(status, folder.Path());
            restart = FALSE;
            const std::size_t nameAt = entryClass == kFileFullDirectoryInformation
                                           ? offsetof(FILE_FULL_DIR_INFO, FileName)
                                           : kPlainEntryNameOffset;
            for (std::size_t offset = 0;;) {
                const auto* entry = reinterpret_cast<const FILE_FULL_DIR_INFO*>(buffer + offset);
                const auto* name = reinterpret_cast<const wchar_t*>(buffer + offset + nameAt);
                AddEntry(folder, entry->FileAttributes,
                         {name, entry->FileNameLength / sizeof(wchar_t)}, listing);
                if (entry->NextEntryOffset == 0)
                    break;
                offset += entry->NextEntryOffset;
            }
        }
    }

    Folder CreateFolder(const std::string& path, std::uint32_t attributes, bool& created) override {
        const std::wstring wide = WidePath::Absolute(path);
        if (wide.empty())
            throw FileSystemError(ENOENT, path);
        created = CreateDirectoryW(wide.c_str(), nullptr);
        if (!created && GetLastError() != ERROR_ALREADY_EXISTS)
            ThrowLastError(path);
        Folder folder = OpenFolderByPath(path);
        if (created)
            SetFolderAttributes(folder, attributes);
        return folder;
    }

    Folder CreateSubFolder(const Folder& parent, std::string_view name, std::uint32_t attributes,
                           bool& created) override {
        Folder folder = OpenSubFolder(parent, name, FILE_OPEN_IF, &created, false);
        if (created)
            SetFolderAttributes(folder, attributes);
        return folder;
    }

    // Folders are open for reading only, so that read-only trees can be walked: the folder is
    // opened once more, through its handle, to change its attributes, and only when they change.
    // Bits beyond READONLY, HIDDEN and SYSTEM (a POSIX owner's rights) mean nothing here.
    void SetFolderAttributes(const Folder& folder, std::uint32_t attributes) override {
        FILE_BASIC_INFO basic;
        if (GetFileInformationByHandleEx(HandleOf(folder), FileBasicInfo, &basic, sizeof basic) &&
            (basic.FileAttributes & kAttributeMask) == (attributes & kAttributeMask))
            return;
        NtName itself("");
        OwnedHandle handle;
        NTSTATUS status = OpenRelative(HandleOf(folder), itself, kFolderAttributeAccess, kShareAll,
                                       FILE_OPEN, FILE_DIRECTORY_FILE, handle);
        if (!NT_SUCCESS(status))
            ThrowStatus(status, folder.Path());
        bool set = SetAttributeBits(handle.Get(), attributes);
        DWORD error = GetLastError();
        if (!set)
            throw FileSystemError(ErrnoOf(error), folder.Path());
    }

    bool RemoveEmptySubFolder(const Folder& parent, std::string_view name) override {
        NtName ntName(name);
        OwnedHandle handle;
        if (!ntName.Usable() ||
            !NT_SUCCESS(OpenRelative(HandleOf(parent), ntName, DELETE | SYNCHRONIZE, kShareAll,
                                     FILE_OPEN, FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT,
                                     handle)))
            return false;
        // The mark fails for a folder that holds anything.
        bool removed = SetDeleteMark(handle.Get(), true);
        return removed;
    }

    bool GetFile(const Folder& folder, std::string_view name, FileFacts& facts) override {
        NtName ntName(name);
        if (!ntName.Usable())
            return false;
        FILE_NETWORK_OPEN_INFORMATION information;
        if (!QueryEntry(HandleOf(folder), ntName, information) ||
            (information.FileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            return false;
        facts = FactsOf(information);
        return true;
    }

    // Opens the name itself, never what a link there leads to, for its facts; false when
    // nothing has that name. Any other failure throws under `path`.
    static bool OpenNameItself(const Folder& folder, std::string_view name, const std::string& path,
                               OwnedHandle& handle) {
        NtName ntName(name);
        ntName.Check(path);
        NTSTATUS status = OpenRelative(HandleOf(folder), ntName, FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                       kShareAll, FILE_OPEN, FILE_OPEN_REPARSE_POINT, handle);
        if (NT_SUCCESS(status))
            return true;
        int code = ErrnoOf(RtlNtStatusToDosError(status));
        if (code == ENOENT)
            return false;
        throw FileSystemError(code, path);
    }

    EntryKind LookAt(const Folder& folder, std::string_view name, FileFacts& facts,
                     FolderIdentity& identity) override {
        const std::string path = folder.PathOf(name);
        OwnedHandle handle;
        if (!OpenNameItself(folder, name, path, handle))
            return EntryKind::Missing;
        NTSTATUS status = 0;
        BY_HANDLE_FILE_INFORMATION information;
        FILE_NETWORK_OPEN_INFORMATION open;
        bool known = GetFileInformationByHandle(handle.Get(), &information);
        DWORD error = GetLastError();
        EntryKind kind = !known                 ? EntryKind::Other
                         : IsLink(handle.Get()) ? EntryKind::Link
                         : information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY
                             ? EntryKind::Folder
                         : GetFileType(handle.Get()) != FILE_TYPE_DISK ? EntryKind::Other
                                                                       : EntryKind::File;
        if (kind == EntryKind::File && !NT_SUCCESS(status = QueryOpen(handle.Get(), open))) {
            known = false;
            error = RtlNtStatusToDosError(status);
        }
        if (!known)
            throw FileSystemError(ErrnoOf(error), path);
        identity = {information.dwVolumeSerialNumber,
                    (std::uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow};
        if (kind == EntryKind::File)
            facts = FactsOf(open);
        return kind;
    }

    File OpenFile(const Folder& folder, std::string_view name, FileFacts& facts) override {
        const std::string path = folder.PathOf(name);
        NtName ntName(name);
        ntName.Check(path);
        OwnedHandle handle;
        NTSTATUS status =
            OpenRelative(HandleOf(folder), ntName, FILE_GENERIC_READ, kShareAll, FILE_OPEN,
                         FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY, handle);
        if (status == kStatusFileIsADirectory)
            throw FileSystemError(EINVAL, path);
        if (!NT_SUCCESS(status))
            ThrowStatus(status, path);
        File file(*this, reinterpret_cast<std::intptr_t>(handle.Release()), path);
        if (GetFileType(HandleOf(file)) != FILE_TYPE_DISK)
            throw FileSystemError(EINVAL, path);
        GetFileFacts(file, facts);
        return file;
    }

    void GetFileFacts(const File& file, FileFacts& facts) override {
        FILE_NETWORK_OPEN_INFORMATION information;
        if (NTSTATUS status = QueryOpen(HandleOf(file), information); !NT_SUCCESS(status))
            ThrowStatus(status, file.Path());
        facts = FactsOf(information);
    }

    File CreateTemporary(const Folder& folder, std::string_view name,
                         std::string reportedPath) override {
        // Windows cannot make a file without a name; the engine then names its temporaries.
        if (name.empty())
            throw FileSystemError(EOPNOTSUPP, reportedPath);
        NtName ntName(name);
        ntName.Check(reportedPath);
        OwnedHandle handle;
        // No FILE_SHARE_DELETE: while this handle is open, nobody can remove the file.
        NTSTATUS status = OpenRelative(
            HandleOf(folder), ntName,
            FILE_GENERIC_WRITE | FILE_READ_ATTRIBUTES | DELETE | SYNCHRONIZE, FILE_SHARE_READ,
            FILE_CREATE, FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY, handle, nullptr,
            FILE_ATTRIBUTE_HIDDEN);  // out of sight in the user's folder until installed
        if (!NT_SUCCESS(status))
            ThrowStatus(status, reportedPath);
        File file(*this, reinterpret_cast<std::intptr_t>(handle.Release()), std::move(reportedPath),
                  std::make_unique<WindowsFileState>());
        if (!SetDeleteMark(HandleOf(file), true))
            ThrowLastError(file.Path());
        return file;
    }

    // A source whose data takes less room than its length has holes. The ranges of its data
    // are asked for, the holes between them skipped in a sparse copy and the last one made by
    // the copy's length; where the file system cannot tell the ranges, blocks of zeros in it
    // are skipped instead.
    std::uint64_t CopyFileData(const File& from, const File& to, std::uint64_t offset,
                               std::uint64_t limit) override {
        FILE_NETWORK_OPEN_INFORMATION source;
        if (NTSTATUS status = QueryOpen(HandleOf(from), source); !NT_SUCCESS(status))
            ThrowStatus(status, from.Path());
        if (offset == 0 && (source.FileAttributes & FILE_ATTRIBUTE_ENCRYPTED))
            RefusePlainCopy(to);
        const auto size = static_cast<std::uint64_t>(source.EndOfFile.QuadPart);
        if (static_cast<std::uint64_t>(source.AllocationSize.QuadPart) >= size || offset >= size)
            return CopyRange(from, to, offset, limit, false);
        std::uint64_t start = offset;
        std::uint64_t end = size;
        switch (NextData(HandleOf(from), offset, size, start, end)) {
            case DataRange::Unknown:
                MakeSparse(HandleOf(to));
                return CopyRange(from, to, offset, limit, true);
            case DataRange::None:
                MakeSparse(HandleOf(to));
                SetLength(to, size);
                return size - offset;
            case DataRange::Found:
                if (start > offset)
                    MakeSparse(HandleOf(to));
                return start - offset +
                       CopyRange(from, to, start, std::min(limit, end - start), false);
        }
        return 0;
    }

    // The time now; the attributes once the temporary has its name (see InstallTemporary).
    void SetFileTimesAndAttributes(File& file, const FileFacts& facts) override {
        FILE_BASIC_INFO change{};
        change.LastWriteTime.QuadPart = TicksOf(facts);
        if (!SetFileInformationByHandle(HandleOf(file), FileBasicInfo, &change, sizeof change))
            ThrowLastError(file.Path());
        if (auto* temporary = dynamic_cast<WindowsFileState*>(file.State())) {
            temporary->attributesPending = true;
            temporary->attributes = facts.attributes & kAttributeMask;
        }
    }

    void InstallTemporary(File& temporary, const Folder& to, std::string_view name,
                          bool replace) override {
        NtName ntName(name);
        ntName.Check(temporary.Path());
        const HANDLE handle = HandleOf(temporary);
        // Written data can fail as late as the flush; only a complete file gets the name.
        if (!FlushFileBuffers(handle) || !SetDeleteMark(handle, false))
            ThrowLastError(temporary.Path());
        if (!Rename(handle, to, name, replace)) {
            DWORD error = GetLastError();
            SetDeleteMark(handle, true);
            throw FileSystemError(ErrnoOf(error), temporary.Path());
        }
        const auto* pending = dynamic_cast<const WindowsFileState*>(temporary.State());
        if (pending && pending->attributesPending &&
            !SetAttributeBits(handle, pending->attributes)) {
            DWORD error = GetLastError();
            SetDeleteMark(handle, true);
            throw FileSystemError(ErrnoOf(error), temporary.Path());
        }
        OwnedHandle installed(handle);
        temporary.Release();
        if (!installed.Close())
            ThrowLastError(temporary.Path());
    }

    void DiscardTemporary(File& temporary) noexcept override {
        if (!temporary.IsOpen())
            return;
        OwnedHandle discarded(HandleOf(temporary));
        temporary.Release();
        SetDeleteMark(discarded.Get(), true);
    }

    bool RemoveUnusedFile(const Folder& folder, std::string_view name) override {
        NtName ntName(name);
        OwnedHandle handle;
        // A temporary being written refuses this open: its handle does not share deletion.
        if (!ntName.Usable() ||
            !NT_SUCCESS(OpenRelative(
                HandleOf(folder), ntName, DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShareAll,
                FILE_OPEN, FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, handle)))
            return false;
        FILE_BASIC_INFO basic;
        bool removed =
            GetFileInformationByHandleEx(handle.Get(), FileBasicInfo, &basic, sizeof basic) &&
            !(basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
            SetDeleteMark(handle.Get(), true);
        return removed;
    }

    // The modification time through the name, the file opened without following a link.
    void SetFileTimes(const Folder& folder, std::string_view name,
                      const FileFacts& facts) override {
        const std::string path = folder.PathOf(name);
        NtName ntName(name);
        ntName.Check(path);
        OwnedHandle handle;
        NTSTATUS status =
            OpenRelative(HandleOf(folder), ntName, FILE_WRITE_ATTRIBUTES | SYNCHRONIZE, kShareAll,
                         FILE_OPEN, FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, handle);
        if (!NT_SUCCESS(status))
            ThrowStatus(status, path);
        FILE_BASIC_INFO change{};
        change.LastWriteTime.QuadPart = change.LastAccessTime.QuadPart = TicksOf(facts);
        const bool set =
            SetFileInformationByHandle(handle.Get(), FileBasicInfo, &change, sizeof change);
        const DWORD error = GetLastError();
        if (!set)
            throw FileSystemError(ErrnoOf(error), path);
    }

    // The volume's file system and 64-bit serial, which stay while it is attached elsewhere.
    std::string FileSystemIdentity(const Folder& folder) override {
        const std::wstring name = FileSystemName(folder);
        if (name.empty() || !folder.Identity().Known())
            return {};
        char serial[17];
        std::snprintf(serial, sizeof serial, "%016llx",
                      static_cast<unsigned long long>(folder.Identity().device));
        return WidePath::ToUtf8(name) + ":" + serial;
    }

    // A folder marked case-sensitive (Windows 10's per-folder flag) tells names apart; on the
    // local file systems every other folder holds names equal but for case as one. Shares and
    // the rest are left to the engine's probe.
    NameCase NamesCase(const Folder& folder) override {
        ULONG flags = 0;
        IO_STATUS_BLOCK status{};
        if (NT_SUCCESS(QueryByClassNumber(HandleOf(folder), status, &flags, sizeof flags,
                                          kFileCaseSensitiveInformation)))
            return (flags & kCaseSensitiveFolder) ? NameCase::Exact : NameCase::Folded;
        const std::wstring name = FileSystemName(folder);
        for (const wchar_t* local : {L"NTFS", L"ReFS", L"FAT", L"FAT32", L"exFAT"})
            if (name == local)
                return NameCase::Folded;
        return NameCase::Unknown;
    }

    LinkTarget ResolveLink(const Folder& folder, std::string_view name) override {
        LinkTarget target;
        NtName ntName(name);
        OwnedHandle handle;
        if (!ntName.Usable() ||
            !NT_SUCCESS(OpenRelative(HandleOf(folder), ntName, FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                     kShareAll, FILE_OPEN, 0, handle)))
            return target;
        FILE_BASIC_INFO basic;
        if (GetFileInformationByHandleEx(handle.Get(), FileBasicInfo, &basic, sizeof basic) &&
            !(basic.FileAttributes & FILE_ATTRIBUTE_DEVICE)) {
            target.kind = (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                              ? FolderListing::Kind::SubFolder
                              : FolderListing::Kind::File;
            target.path = FinalPathOf(handle.Get());
        }
        return target;
    }

    std::string ResolvedPath(const Folder& folder) override {
        return FinalPathOf(HandleOf(folder));
    }

    NameHolds ReadLink(const Folder& folder, std::string_view name, std::string& target) override {
        OwnedHandle handle;
        if (!OpenNameItself(folder, name, folder.PathOf(name), handle))
            return NameHolds::Nothing;
        bool link = ReadLinkText(handle.Get(), target);
        return link ? NameHolds::Link : NameHolds::Other;
    }

    // Made by path: Windows makes links only through CreateSymbolicLinkW. Without developer
    // mode or the privilege to make links, the system refuses (EPERM).
    void CreateLink(const Folder& folder, std::string_view name, const std::string& target,
                    bool toFolder) override {
        const std::string path = folder.PathOf(name);
        const std::wstring wide = WidePath::Absolute(path);
        const std::wstring text = WidePath::FromUtf8(target);
        DWORD flags = toFolder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0;
        if (wide.empty() || text.empty())
            throw FileSystemError(EINVAL, path);
        if (CreateSymbolicLinkW(wide.c_str(), text.c_str(),
                                flags | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE))
            return;
        // Versions before developer mode refuse the flag they do not know.
        if (GetLastError() == ERROR_INVALID_PARAMETER &&
            CreateSymbolicLinkW(wide.c_str(), text.c_str(), flags))
            return;
        DWORD error = GetLastError();
        throw FileSystemError(error == ERROR_PRIVILEGE_NOT_HELD ? EPERM : ErrnoOf(error), path);
    }

    void InstallLink(const Folder& folder, std::string_view from, const Folder& to,
                     std::string_view name, bool replace) override {
        const std::string path = to.PathOf(name);
        NtName ntName(from);
        ntName.Check(path);
        OwnedHandle handle;
        NTSTATUS status = OpenRelative(HandleOf(folder), ntName, DELETE | SYNCHRONIZE, kShareAll,
                                       FILE_OPEN, FILE_OPEN_REPARSE_POINT, handle);
        if (!NT_SUCCESS(status))
            ThrowStatus(status, path);
        bool renamed = Rename(handle.Get(), to, name, replace);
        DWORD error = GetLastError();
        if (!renamed)
            throw FileSystemError(ErrnoOf(error), path);
    }

    bool RemoveLink(const Folder& folder, std::string_view name) override {
        NtName ntName(name);
        OwnedHandle handle;
        if (!ntName.Usable() ||
            !NT_SUCCESS(OpenRelative(HandleOf(folder), ntName,
                                     DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShareAll,
                                     FILE_OPEN, FILE_OPEN_REPARSE_POINT, handle)))
            return false;
        FILE_ATTRIBUTE_TAG_INFO tag;
        bool removed =
            GetFileInformationByHandleEx(handle.Get(), FileAttributeTagInfo, &tag, sizeof tag) &&
            (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsLinkTag(tag.ReparseTag) &&
            SetDeleteMark(handle.Get(), true);
        return removed;
    }

    // Every copy was flushed as it was installed; flushing a whole volume needs administrator
    // rights, so there is nothing more to do here.
    void SyncToStorage(const Folder&) override {}

protected:
    void CloseFolder(std::intptr_t handle) noexcept override { CloseHandle(AsHandle(handle)); }
    void CloseFile(File& file) noexcept override {
        // A temporary still marked goes with its handle.
        CloseHandle(HandleOf(file));
    }

private:
    // Gives the open file `name` in `to` in one step. NtSetInformationFile, because Wine's
    // SetFileInformationByHandle ignores the rename's root folder.
    static bool Rename(HANDLE handle, const Folder& to, std::string_view name, bool replace) {
        const std::wstring wide = WidePath::FromUtf8(name);
        const std::size_t size =
            offsetof(FILE_RENAME_INFORMATION, FileName) + (wide.size() + 1) * sizeof(wchar_t);
        auto buffer = std::make_unique<std::max_align_t[]>(size / sizeof(std::max_align_t) + 1);
        auto* rename = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.get());
        rename->ReplaceIfExists = replace;
        rename->RootDirectory = HandleOf(to);
        rename->FileNameLength = static_cast<ULONG>(wide.size() * sizeof(wchar_t));
        std::memcpy(rename->FileName, wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));
        const auto renamed = [&] {
            IO_STATUS_BLOCK status{};
            NTSTATUS result = NtSetInformationFile(handle, &status, rename, ULONG(size),
                                                   FILE_INFORMATION_CLASS(kFileRenameInformation));
            SetLastError(NT_SUCCESS(result) ? ERROR_SUCCESS : RtlNtStatusToDosError(result));
            return NT_SUCCESS(result);
        };
        if (renamed())
            return true;
        // Windows replaces no read-only file: the old copy loses the attribute first. Any other
        // failure keeps its cause, e.g. ERROR_NOT_SAME_DEVICE, on which the engine moves on.
        const DWORD error = GetLastError();
        if (!replace || error != ERROR_ACCESS_DENIED || !ClearReadOnly(to, name)) {
            SetLastError(error);
            return false;
        }
        return renamed();
    }

    // Copies up to `limit` bytes of data from `offset` on; with `skipZeros`, blocks of zeros
    // are left unwritten and the copy's length set at the end.
    static std::uint64_t CopyRange(const File& from, const File& to, std::uint64_t offset,
                                   std::uint64_t limit, bool skipZeros) {
        char* buffer = CopyBuffer();
        std::uint64_t done = 0;
        while (done < limit) {
            DWORD want = static_cast<DWORD>(std::min<std::uint64_t>(limit - done, kCopyBufferSize));
            DWORD got = 0;
            OVERLAPPED readAt = At(offset + done);
            if (!ReadFile(HandleOf(from), buffer, want, &got, &readAt)) {
                if (GetLastError() == ERROR_HANDLE_EOF)
                    break;
                ThrowLastError(from.Path());
            }
            if (got == 0)
                break;
            const DWORD step = skipZeros ? kHoleBlock : got;
            for (DWORD block = 0; block < got; block += step) {
                const DWORD length = std::min<DWORD>(step, got - block);
                if (skipZeros && AllZero(buffer + block, length))
                    continue;
                DWORD put = 0;
                OVERLAPPED writeAt = At(offset + done + block);
                if (!WriteFile(HandleOf(to), buffer + block, length, &put, &writeAt) ||
                    put != length)
                    ThrowLastError(to.Path());
            }
            done += got;
        }
        if (skipZeros && done > 0)
            SetLength(to, offset + done);
        return done;
    }

    // An EFS-encrypted source is copied only into a copy that is encrypted too, as one made in
    // an encrypted folder is: its data is never written in plain text (on a USB stick, say).
    static void RefusePlainCopy(const File& copy) {
        FILE_BASIC_INFO basic;
        if (!GetFileInformationByHandleEx(HandleOf(copy), FileBasicInfo, &basic, sizeof basic))
            ThrowLastError(copy.Path());
        if (!(basic.FileAttributes & FILE_ATTRIBUTE_ENCRYPTED))
            throw FileSystemError(EACCES, copy.Path(), FileSystemError::Refusal::Encrypted);
    }

    // Makes the open file at least `length` bytes long.
    static void SetLength(const File& file, std::uint64_t length) {
        LARGE_INTEGER current;
        if (!GetFileSizeEx(HandleOf(file), &current))
            ThrowLastError(file.Path());
        FILE_END_OF_FILE_INFO end{};
        end.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
        if (static_cast<std::uint64_t>(current.QuadPart) < length &&
            !SetFileInformationByHandle(HandleOf(file), FileEndOfFileInfo, &end, sizeof end))
            ThrowLastError(file.Path());
    }

    // The name of the file system the folder lies on ("NTFS", "FAT32", ...); empty if unknown.
    // FAT keeps local time; exFAT keeps its offset from UTC beside each time.
    bool KeepsLocalTimes(const Folder& folder) override {
        const std::wstring name = FileSystemName(folder);
        return name == L"FAT" || name == L"FAT32" || name == L"FAT12" || name == L"FAT16";
    }

    static std::wstring FileSystemName(const Folder& folder) {
        wchar_t name[MAX_PATH + 1] = {};
        if (!GetVolumeInformationByHandleW(HandleOf(folder), nullptr, 0, nullptr, nullptr, nullptr,
                                           name, MAX_PATH + 1))
            return {};
        return name;
    }

    // Takes READONLY from the file `name`; false when it had none or cannot lose it.
    static bool ClearReadOnly(const Folder& folder, std::string_view name) {
        NtName ntName(name);
        OwnedHandle handle;
        if (!NT_SUCCESS(OpenRelative(HandleOf(folder), ntName,
                                     FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE,
                                     kShareAll, FILE_OPEN, FILE_NON_DIRECTORY_FILE, handle)))
            return false;
        FILE_BASIC_INFO basic;
        bool cleared =
            GetFileInformationByHandleEx(handle.Get(), FileBasicInfo, &basic, sizeof basic) &&
            (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) &&
            SetAttributeBits(handle.Get(), basic.FileAttributes & ~FILE_ATTRIBUTE_READONLY);
        return cleared;
    }

    Folder OpenFolderByPath(const std::string& path) {
        const std::wstring wide = WidePath::Absolute(path);
        if (wide.empty())
            throw FileSystemError(ENOENT, path);
        OwnedHandle handle(CreateFileW(wide.c_str(), kFolderReadAccess, kShareAll, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!handle.IsOpen())
            ThrowLastError(path);
        return Adopt(std::move(handle), path);
    }

    // Opens (or with FILE_OPEN_IF makes) a folder; unless `follow`, a link there throws ELOOP.
    Folder OpenSubFolder(const Folder& parent, std::string_view name, ULONG disposition,
                         bool* created, bool follow) {
        std::string path = parent.PathOf(name);
        NtName ntName(name);
        ntName.Check(path);
        OwnedHandle handle;
        ULONG_PTR information = 0;
        ULONG options = FILE_DIRECTORY_FILE | (follow ? 0 : FILE_OPEN_REPARSE_POINT);
        NTSTATUS status = OpenRelative(HandleOf(parent), ntName, kFolderReadAccess, kShareAll,
                                       disposition, options, handle, &information);
        if (!NT_SUCCESS(status))
            ThrowStatus(status, path);  // "not a directory" maps to ENOTDIR
        if (!follow && IsLink(handle.Get()))
            throw FileSystemError(ELOOP, path);
        if (created)
            *created = information == FILE_CREATED;
        return Adopt(std::move(handle), std::move(path));
    }

    // Wraps an open folder with its identity and attributes.
    Folder Adopt(OwnedHandle handle, std::string path) {
        BY_HANDLE_FILE_INFORMATION information;
        if (!GetFileInformationByHandle(handle.Get(), &information))
            ThrowLastError(path);
        if (!(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            throw FileSystemError(ENOTDIR, path);
        const FolderIdentity identity = IdentityOf(handle.Get(), information);
        return Folder(*this, reinterpret_cast<std::intptr_t>(handle.Release()), std::move(path),
                      identity, information.dwFileAttributes & kAttributeMask);
    }

    // The 128-bit ID and 64-bit serial where the file system has them (ReFS's IDs need all
    // 128 bits), else the older 64-bit index and 32-bit serial. An ID of zeros or ones is
    // unknown: such a folder is taken for no other.
    static FolderIdentity IdentityOf(HANDLE handle, const BY_HANDLE_FILE_INFORMATION& fallback) {
        struct {
            ULONGLONG VolumeSerialNumber;
            BYTE Identifier[16];
        } id;  // FILE_ID_INFORMATION, which the Windows 7 headers lack
        IO_STATUS_BLOCK status{};
        FolderIdentity identity;
        if (NT_SUCCESS(NtQueryInformationFile(handle, &status, &id, sizeof id,
                                              FILE_INFORMATION_CLASS(kFileIdInformation)))) {
            identity.device = id.VolumeSerialNumber;
            std::memcpy(&identity.inode, id.Identifier, sizeof identity.inode);
            std::memcpy(&identity.inodeHigh, id.Identifier + 8, sizeof identity.inodeHigh);
        } else {
            identity.device = fallback.dwVolumeSerialNumber;
            identity.inode =
                (std::uint64_t{fallback.nFileIndexHigh} << 32) | fallback.nFileIndexLow;
        }
        if (identity.inode == ~std::uint64_t{0} &&
            (identity.inodeHigh == 0 || identity.inodeHigh == ~std::uint64_t{0}))
            identity.inode = identity.inodeHigh = 0;
        return identity;
    }

    // Adds a listed entry by what it is. A symbolic link or junction is listed as a link; other
    // reparse points (cloud placeholders, deduplicated files) count as what they lead to.
    static void AddEntry(const Folder& folder, DWORD attributes, std::wstring_view wide,
                         FolderListing& listing) {
        if (wide == L"." || wide == L"..")
            return;
        const std::string name = WidePath::ToUtf8(wide);
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            NtName ntName(name);
            if (IsLinkTag(ReparseTagOf(HandleOf(folder), ntName))) {
                listing.Add(name, FolderListing::Kind::Link);
                return;
            }
            FILE_NETWORK_OPEN_INFORMATION target;
            if (!QueryEntry(HandleOf(folder), ntName, target))
                return;  // a dangling link
            attributes = target.FileAttributes;
        }
        if (attributes & FILE_ATTRIBUTE_DEVICE)
            return;
        listing.Add(name, (attributes & FILE_ATTRIBUTE_DIRECTORY) ? FolderListing::Kind::SubFolder
                                                                  : FolderListing::Kind::File);
    }
};

}  // namespace

FileSystem& PlatformFileSystem() {
    static WindowsFileSystem fileSystem;
    return fileSystem;
}

}  // namespace FileSync
