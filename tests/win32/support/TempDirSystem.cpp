// The Windows side of tests/support/TempDir.h.
#include "tests/support/TempDir.h"

#include <windows.h>

#include <atomic>
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
