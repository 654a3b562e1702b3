#include <windows.h>

#include "platform/Module.h"
#include "platform/win32/Win32WideText.h"

namespace platform {
namespace {

class Win32Module : public Module {
public:
    explicit Win32Module(HMODULE handle) : handle_(handle) {}
    // Never freed: see Module.
    void* symbol(const std::string& name) override {
        return reinterpret_cast<void*>(::GetProcAddress(handle_, name.c_str()));
    }

private:
    HMODULE handle_;
};

}  // namespace

std::unique_ptr<Module> loadModule(const std::string& path, std::string& error) {
    HMODULE handle = ::LoadLibraryW(wideText(path).c_str());
    if (!handle) {
        error = "cannot load " + path + " (error " + std::to_string(::GetLastError()) + ")";
        return nullptr;
    }
    return std::make_unique<Win32Module>(handle);
}

std::string moduleFileName(const std::string& stem) { return stem + ".dll"; }

}  // namespace platform
