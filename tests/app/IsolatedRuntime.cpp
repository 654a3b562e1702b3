// Every test of the executables runs its programs with a single-instance
// lock and a control socket of its own (PROCWARD_LOCK_DIR, which exists for
// tests only, and XDG_RUNTIME_DIR), so that it never meets a Procward the
// developer runs, nor one of a test running at the same time.
#include <sys/stat.h>

#include <cstdlib>
#include <memory>

#include <gtest/gtest.h>

#include "tests/support/TempDir.h"

namespace {

class IsolatedRuntime : public ::testing::Environment {
public:
    void SetUp() override {
        dir_ = std::make_unique<TempDir>();
        ::mkdir(dir_->file("run").c_str(), 0700);
        ::setenv("PROCWARD_LOCK_DIR", dir_->path().c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", dir_->file("run").c_str(), 1);
        // A service manager the test runner itself may have been given.
        ::unsetenv("NOTIFY_SOCKET");
        ::unsetenv("WATCHDOG_USEC");
        ::unsetenv("WATCHDOG_PID");
        // Where the service manager would have the state file kept.
        ::unsetenv("STATE_DIRECTORY");
    }
    void TearDown() override { dir_.reset(); }

private:
    std::unique_ptr<TempDir> dir_;
};

const bool g_registered = (::testing::AddGlobalTestEnvironment(new IsolatedRuntime), true);

}  // namespace
