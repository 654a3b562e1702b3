#include "tests/support/linux/SmallFileSystem.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

int inSmallFileSystem(const std::string& mountPoint, const char* size, const std::function<void()>& body) {
    if (::geteuid() != 0) return kNoSmallFileSystem;
    const std::string options = std::string("size=") + size;
    const pid_t child = ::fork();
    if (child < 0) return -1;
    if (child == 0) {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, options.c_str()) != 0)
            ::_exit(kNoSmallFileSystem);
        body();
        ::_exit(0);
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}
