// The POSIX side of tests/support/TempDir.h.
#include <cstdlib>
#include <stdexcept>

#include "tests/support/TempDir.h"

TempDir::TempDir() {
    char pattern[] = "/tmp/procward-test-XXXXXX";
    if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

ScopedEnvironment::ScopedEnvironment(const std::string& name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name.c_str())) {
        had_ = true;
        previous_ = old;
    }
    ::setenv(name.c_str(), value.c_str(), 1);
}

ScopedEnvironment::~ScopedEnvironment() {
    if (had_)
        ::setenv(name_.c_str(), previous_.c_str(), 1);
    else
        ::unsetenv(name_.c_str());
}
