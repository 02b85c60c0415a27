// SPDX-License-Identifier: GPL-3.0-or-later
// An open Windows handle with one owner, closed when the owner lets it go.
#pragma once

#include <windows.h>

#include <utility>

class OwnedHandle {
public:
    OwnedHandle() = default;
    explicit OwnedHandle(HANDLE handle) : handle_(handle) {}
    OwnedHandle(OwnedHandle&& other) noexcept : handle_(other.Release()) {}
    OwnedHandle& operator=(OwnedHandle&& other) noexcept {
        if (this != &other) {
            Close();
            handle_ = other.Release();
        }
        return *this;
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    ~OwnedHandle() { Close(); }

    HANDLE Get() const { return handle_; }
    bool IsOpen() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    // Where a call that opens a handle puts it; what was held before is closed first.
    HANDLE* Receive() {
        Close();
        return &handle_;
    }
    // Gives the handle up to a new owner, without closing it.
    HANDLE Release() { return std::exchange(handle_, INVALID_HANDLE_VALUE); }
    // Closes the handle now; false when closing failed (GetLastError says why).
    bool Close() {
        if (!IsOpen())
            return true;
        return CloseHandle(Release()) != 0;
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};
