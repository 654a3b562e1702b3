#include "platform/win32/Win32SingleInstance.h"
#include "platform/win32/Win32WideText.h"

namespace platform {

Win32SingleInstance::~Win32SingleInstance() {
    if (mutex_) ::CloseHandle(mutex_);
}

bool Win32SingleInstance::acquire(const std::string& name) {
    if (mutex_) return true;
    if (name.empty()) return false;
    HANDLE mutex = ::CreateMutexW(nullptr, FALSE, wideText(name).c_str());
    if (!mutex) return false;
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        ::CloseHandle(mutex);
        return false;
    }
    mutex_ = mutex;
    return true;
}

SingleInstance& defaultSingleInstance() {
    static Win32SingleInstance instance;
    return instance;
}

}  // namespace platform
