#include "tests/support/TempDir.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

TempDir::TempDir() {
    char pattern[] = "/tmp/procward-test-XXXXXX";
    if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
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
    char buffer[PATH_MAX];
    if (::getcwd(buffer, sizeof buffer)) previous_ = buffer;
    if (::chdir(path.c_str()) != 0) throw std::runtime_error("chdir " + path);
}

ScopedWorkingDirectory::~ScopedWorkingDirectory() {
    if (!previous_.empty() && ::chdir(previous_.c_str()) != 0) {
    }
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
