#pragma once
#include <string>

namespace platform {

// A machine-wide name that only one process can hold at a time. The system
// releases it when the holding process ends, however it ends.
class SingleInstance {
public:
    virtual ~SingleInstance() = default;
    // True when this process now holds the name; false when another process
    // holds it or it cannot be taken.
    virtual bool acquire(const std::string& name) = 0;
};

SingleInstance& singleInstance();

// The machine's own, from the platform folder CMake chooses.
SingleInstance& defaultSingleInstance();

}  // namespace platform
