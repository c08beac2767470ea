#include <windows.h>

#include "platform/file.h"

namespace mv620::platform {
namespace {

HANDLE asHandle(std::intptr_t handle) noexcept { return reinterpret_cast<HANDLE>(handle); }

// Read-only, no sharing, existing files only; and only a file on disk: a pipe, a console or a
// device is a file that cannot be opened.
std::intptr_t openDiskFile(const char* name) noexcept {
    const HANDLE handle =
        CreateFileA(name, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE && GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        return reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE);
    }
    return reinterpret_cast<std::intptr_t>(handle);
}

} // namespace

ReadOnlyFile::ReadOnlyFile(const char* name) noexcept : handle_(openDiskFile(name)) {}

ReadOnlyFile::~ReadOnlyFile() {
    if (isOpen()) {
        CloseHandle(asHandle(handle_));
    }
}

bool ReadOnlyFile::isOpen() const noexcept { return asHandle(handle_) != INVALID_HANDLE_VALUE; }

std::size_t ReadOnlyFile::read(std::uint8_t* buffer, std::size_t length) noexcept {
    std::size_t total = 0;
    while (isOpen() && total < length) {
        DWORD got = 0;
        if (ReadFile(asHandle(handle_), buffer + total, static_cast<DWORD>(length - total), &got,
                     nullptr) == FALSE ||
            got == 0) {
            break;
        }
        total += got;
    }
    return total;
}

} // namespace mv620::platform
