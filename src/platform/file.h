// Reading a file by a relative name (the configuration image).
#pragma once

#include <cstddef>
#include <cstdint>

namespace mv620::platform {

// A regular file opened read-only, with no sharing on Windows. Closed when the object ends, on
// every path. Anything else by that name (a FIFO, a pipe, a device, a directory) counts as a file
// that cannot be opened, and opening never blocks.
class ReadOnlyFile {
public:
    // Opens `name`, relative to the process's current directory. isOpen() tells the outcome.
    explicit ReadOnlyFile(const char* name) noexcept;
    ~ReadOnlyFile();
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

    [[nodiscard]] bool isOpen() const noexcept;

    // Reads up to `length` bytes into `buffer`. Returns how many were read: fewer than `length`
    // only at the end of the file or on a read error, 0 when nothing is left.
    std::size_t read(std::uint8_t* buffer, std::size_t length) noexcept;

private:
    std::intptr_t handle_;
};

} // namespace mv620::platform
