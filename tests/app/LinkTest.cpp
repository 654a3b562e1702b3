// What the executables load, as ldd reports it: the daemon no toolkit, the
// HTTP library of the metrics only through its module, libcurl and OpenSSL
// only when a webhook, an HTTP health rule or a mail over TLS needs them.
#include <sys/wait.h>

#include <regex>

#include <gtest/gtest.h>

#include "tests/support/ChildProcess.h"

namespace {

std::string libraries(const std::string& program) {
    ChildProcess ldd("/usr/bin/ldd", {program});
    const int status = ldd.wait(30000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ldd.output();
    return ldd.output();
}

const std::regex kToolkit("libwx|libgtk|libgdk|libX11", std::regex::icase);

TEST(LinkTest, TheDaemonNeedsNoToolkitAndTheWindowDoes) {
    const std::string daemon = libraries(PROCWARDD_EXECUTABLE);
    EXPECT_NE(std::string::npos, daemon.find("libc.so")) << daemon;
    EXPECT_FALSE(std::regex_search(daemon, kToolkit)) << daemon;
    // The same check finds the toolkit where it is.
    const std::string window = libraries(PROCWARD_EXECUTABLE);
    EXPECT_TRUE(std::regex_search(window, kToolkit)) << window;
}

TEST(LinkTest, HttpAndSystemdLibrariesAreLoadedOnlyWhenUsed) {
    const std::string daemon = libraries(PROCWARDD_EXECUTABLE);
    EXPECT_EQ(std::string::npos, daemon.find("httplib")) << daemon;
    EXPECT_EQ(std::string::npos, daemon.find("libsystemd")) << daemon;
    EXPECT_EQ(std::string::npos, daemon.find("libcurl")) << daemon;
    EXPECT_EQ(std::string::npos, daemon.find("libssl")) << daemon;
    EXPECT_EQ(std::string::npos, daemon.find("libcrypto")) << daemon;
    const std::string module = libraries(PROCWARD_METRICS_MODULE);
    EXPECT_NE(std::string::npos, module.find("libcpp-httplib")) << module;
}

}  // namespace
