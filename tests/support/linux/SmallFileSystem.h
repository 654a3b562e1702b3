#pragma once
#include <functional>
#include <string>

// Runs `body` in a child process that has a tmpfs of `size` ("512k") at
// `mountPoint` (an empty directory) in a mount namespace of its own, so a
// test can fill a file system without touching the machine's. The child's
// memory is its own: `body` writes what it finds into a file. Returns the
// child's exit code (0 once `body` has returned), or kNoSmallFileSystem
// where none can be mounted (not root, no namespaces): the caller skips.
constexpr int kNoSmallFileSystem = 77;
int inSmallFileSystem(const std::string& mountPoint, const char* size, const std::function<void()>& body);
