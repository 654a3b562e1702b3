// The parts of TempDir.h that are the same on every system; the rest is in
// the system's own file (support/linux/, win32/support/).
#include "tests/support/TempDir.h"

#include <filesystem>
#include <fstream>
#include <sstream>

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
    std::error_code ignored;
    previous_ = std::filesystem::current_path(ignored).string();
    std::filesystem::current_path(path);  // throws when it cannot
}

ScopedWorkingDirectory::~ScopedWorkingDirectory() {
    std::error_code ignored;
    if (!previous_.empty()) std::filesystem::current_path(previous_, ignored);
}
