#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file.h"

namespace mv620::platform {

namespace {

// Opens without blocking (a FIFO with no writer would hold the open for good) and keeps only a
// regular file: a FIFO, a device or a directory is a file that cannot be opened.
std::intptr_t openRegularFile(const char* name) noexcept {
    const int fd = ::open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return -1;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

ReadOnlyFile::ReadOnlyFile(const char* name) noexcept : handle_(openRegularFile(name)) {}

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
