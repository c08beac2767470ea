#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file.h"

namespace mv620::platform {

ReadOnlyFile::ReadOnlyFile(const char* name) noexcept
    : handle_(::open(name, O_RDONLY | O_CLOEXEC)) {}

ReadOnlyFile::~ReadOnlyFile() {
    if (handle_ >= 0) {
        ::close(static_cast<int>(handle_));
    }
}

bool ReadOnlyFile::isOpen() const noexcept { return handle_ >= 0; }

std::size_t ReadOnlyFile::read(std::uint8_t* buffer, std::size_t length) noexcept {
    std::size_t total = 0;
    while (handle_ >= 0 && total < length) {
        const ssize_t got = ::read(static_cast<int>(handle_), buffer + total, length - total);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        total += static_cast<std::size_t>(got);
    }
    return total;
}

} // namespace mv620::platform
