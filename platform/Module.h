#pragma once
#include <memory>
#include <string>

namespace platform {

// A library of code loaded while the program runs, for a part that only
// some installations use and that would cost every run its memory if it
// were linked in. It stays loaded until the program ends: a library it
// brings along may have registered handlers for the program's exit.
class Module {
public:
    virtual ~Module() = default;
    // The address of an exported symbol; null when there is none.
    virtual void* symbol(const std::string& name) = 0;
};

// Loads the library at `path`; null with the reason.
std::unique_ptr<Module> loadModule(const std::string& path, std::string& error);

// File name of a module named `stem` ("procward-metrics.so" here).
std::string moduleFileName(const std::string& stem);

}  // namespace platform
