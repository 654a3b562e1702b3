#pragma once
#include <cstdint>
#include <string>
#include <utility>

#include "config/ServerOptions.h"

// One valid element of serverinfo.json as the operator configured it.
struct ServerEntry {
    std::int32_t index = 0;  // array position + 1; gaps where elements were skipped
    std::string name;
    std::string processname;
    std::string commandline;
    ServerOptions options;  // the entry's optional keys

    // A constructor rather than aggregate initialisation, so that the many
    // places that give the first four fields alone stay free of warnings
    // about the options they leave at their defaults.
    ServerEntry() = default;
    ServerEntry(std::int32_t at, std::string displayName, std::string executable, std::string command,
                ServerOptions keys = {})
        : index(at),
          name(std::move(displayName)),
          processname(std::move(executable)),
          commandline(std::move(command)),
          options(std::move(keys)) {}

    bool operator==(const ServerEntry&) const = default;
};
