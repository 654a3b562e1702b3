#pragma once
#include <cstdint>
#include <string>

// One valid element of serverinfo.json as the operator configured it.
struct ServerEntry {
    std::int32_t index = 0;  // array position + 1; gaps where elements were skipped
    std::string name;
    std::string processname;
    std::string commandline;
};
