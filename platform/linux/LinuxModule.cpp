#include <dlfcn.h>

#include "platform/Module.h"

namespace platform {
namespace {

class LinuxModule : public Module {
public:
    explicit LinuxModule(void* handle) : handle_(handle) {}
    // No dlclose: RTLD_NODELETE keeps it for the life of the program.
    void* symbol(const std::string& name) override { return ::dlsym(handle_, name.c_str()); }

private:
    void* handle_;
};

}  // namespace

std::unique_ptr<Module> loadModule(const std::string& path, std::string& error) {
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!handle) {
        const char* reason = ::dlerror();
        error = reason ? reason : "cannot load " + path;
        return nullptr;
    }
    return std::make_unique<LinuxModule>(handle);
}

std::string moduleFileName(const std::string& stem) { return stem + ".so"; }

}  // namespace platform
