// The parts of TempDir.h that are the same on every system; the rest is in
// the system's own file (support/linux/, win32/support/).
#include "tests/support/TempDir.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace {

// Removes what it can below `dir`, then `dir`, and tells whether all went.
// Not std::filesystem::remove_all: with libstdc++ 12 on Windows it loops
// for ever on a file it cannot remove (one that a process still holds
// open), and a test's directory must never hang the suite.
bool removeTree(const std::filesystem::path& dir) {
    std::error_code error;
    std::vector<std::filesystem::path> entries;
    for (std::filesystem::directory_iterator it(dir, error), end; !error && it != end; it.increment(error))
        entries.push_back(it->path());
    for (const std::filesystem::path& entry : entries) {
        std::error_code e;
        if (std::filesystem::is_directory(std::filesystem::symlink_status(entry, e)))
            removeTree(entry);
        else
            std::filesystem::remove(entry, e);
    }
    std::filesystem::remove(dir, error);
    return !std::filesystem::exists(dir, error);
}

}  // namespace

TempDir::~TempDir() {
    // A process the test started may take a moment to let go of its files.
    for (int attempt = 0; attempt < 5 && !removeTree(path_); ++attempt)
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
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
