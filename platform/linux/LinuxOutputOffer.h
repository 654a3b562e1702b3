#pragma once
#include <cstdint>

// What the supervisor sends the output writer (platform/OutputWriter.h)
// for each launched server, as one datagram of a SOCK_SEQPACKET socket:
// this header, then the output file's path (not terminated), and with it
// three descriptors: the read end of the server's output pipe, the output
// file opened for appending, and the write end of a pipe the writer closes
// once the server's output has all reached the file.
namespace platform {

struct LinuxOutputOffer {
    static constexpr std::uint32_t kVersion = 1;
    static constexpr int kDescriptors = 3;
    static constexpr std::size_t kMaxPath = 4096;

    std::uint32_t version = kVersion;
    std::int32_t backups = 0;
    std::int64_t maxBytes = 0;
};

}  // namespace platform
