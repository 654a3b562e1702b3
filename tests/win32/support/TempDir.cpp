// The Windows side of tests/support/TempDir.h.
#include "tests/support/TempDir.h"

#include <windows.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    char base[MAX_PATH + 1] = {};
    if (!::GetTempPathA(sizeof base, base)) throw std::runtime_error("GetTempPath failed");
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string candidate = std::string(base) + "procward-test-" + std::to_string(::GetCurrentProcessId()) +
                                      "-" + std::to_string(counter++);
        if (::CreateDirectoryA(candidate.c_str(), nullptr)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("no temporary directory");
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

ScopedWorkingDirectory::ScopedWorkingDirectory(const std::string& path) {
    char buffer[MAX_PATH + 1] = {};
    if (::GetCurrentDirectoryA(sizeof buffer, buffer)) previous_ = buffer;
    if (!::SetCurrentDirectoryA(path.c_str())) throw std::runtime_error("SetCurrentDirectory " + path);
}

ScopedWorkingDirectory::~ScopedWorkingDirectory() {
    if (!previous_.empty()) ::SetCurrentDirectoryA(previous_.c_str());
}

ScopedEnvironment::ScopedEnvironment(const std::string& name, const std::string& value) : name_(name) {
    char buffer[32768];
    const DWORD n = ::GetEnvironmentVariableA(name.c_str(), buffer, sizeof buffer);
    if (n > 0 && n < sizeof buffer) {
        had_ = true;
        previous_.assign(buffer, n);
    }
    ::SetEnvironmentVariableA(name.c_str(), value.c_str());
    // The C runtime keeps a copy of its own, which getenv reads.
    _putenv_s(name.c_str(), value.c_str());
}

ScopedEnvironment::~ScopedEnvironment() {
    ::SetEnvironmentVariableA(name_.c_str(), had_ ? previous_.c_str() : nullptr);
    _putenv_s(name_.c_str(), had_ ? previous_.c_str() : "");
}
