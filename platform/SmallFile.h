#pragma once
#include <cstddef>
#include <string>

// Reading a file that a server or another user controls (a pidfile, the
// first line of a script): the path may lead to a FIFO, a terminal, a
// device or a file of any size. Nothing here ever waits for a writer, and
// nothing reads more than the caller's limit.
namespace platform {

enum class SmallFileRead {
    ok,
    missing,     // no file at the path
    notRegular,  // a FIFO, a device, a socket or a directory
    tooLarge,    // more than the limit (readSmallFile only)
    failed,      // it exists but cannot be opened or read
};

// Reads the whole of the regular file at `path` when it holds at most
// `limit` bytes. It is opened without waiting (O_NONBLOCK on Linux, so a
// FIFO without a writer does not hold the caller), never becomes the
// caller's controlling terminal, is not passed on to launched programs,
// and is refused unless it is a regular file. On anything but `ok`,
// `bytes` is empty and `reason` says why in a few words ("is a FIFO",
// "holds 1048576 bytes, more than 4096").
SmallFileRead readSmallFile(const std::string& path, std::size_t limit, std::string& bytes, std::string& reason);

// At most the first `limit` bytes of the regular file at `path`, with the
// same care; for files only whose start matters.
SmallFileRead readFileHead(const std::string& path, std::size_t limit, std::string& bytes);

}  // namespace platform
