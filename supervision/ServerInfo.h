#pragma once
#include <cstdint>
#include <string>

// What the operator configured for one server and what was last observed of
// its process.
struct ServerInfo {
    ServerInfo() = default;
    ServerInfo(std::string name, std::string processname, std::string commandline)
        : name(std::move(name)), processname(std::move(processname)), commandline(std::move(commandline)) {}

    std::int32_t index = 0;     // 1-based position in serverinfo.json
    std::string name;           // display name
    std::string processname;    // executable file name
    std::string commandline;    // what is launched and matched
    std::int32_t pid = 0;       // 0 when no matching process was found
    std::string ports;          // "a.b.c.d:port" or empty
    std::int64_t startTime = 0; // seconds since 1970 UTC, 0 when unknown
};
