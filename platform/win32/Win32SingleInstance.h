#pragma once
#include <windows.h>

#include "platform/SingleInstance.h"

namespace platform {

// A named kernel mutex, created not owned and kept open until the process
// ends. A name in the Global\ namespace is seen by every session of the
// machine.
class Win32SingleInstance : public SingleInstance {
public:
    ~Win32SingleInstance() override;
    // False when the mutex already existed (ERROR_ALREADY_EXISTS) or cannot
    // be created.
    bool acquire(const std::string& name) override;

private:
    HANDLE mutex_ = nullptr;
};

}  // namespace platform
