#pragma once
#include <cstddef>
#include <string>

#include "platform/OutputStream.h"

// The calls the output writer makes on a server's file, one set per
// platform: the rest of the writer is the same everywhere.
namespace platform::outputfile {

using File = OutputStream::File;
constexpr File kNoFile = -1;

// The file's size now (0 when it cannot be told).
long long size(File file);
// Bytes written, or -1 with `error` set.
long long write(File file, const char* bytes, std::size_t count, int& error);
// Empties the file (open at `path`).
bool truncate(File file, const std::string& path, int& error);
// Opens (creating, 0640 where there are modes) for appending; kNoFile with
// `error` set.
File openAppend(const std::string& path, int& error);
void close(File file);
// Replaces `to` where it exists. `missing` says the source was not there.
bool rename(const std::string& from, const std::string& to, int& error, bool& missing);
// The path still names the file that is open.
bool samePath(File file, const std::string& path);
// The disk (or the user's quota) is full.
bool noSpace(int error);
std::string errorText(int error);
long long monotonicNs();
// The local time as "2026-12-09 06:40:01".
std::string localStamp();

}  // namespace platform::outputfile
