// --version and --help of both executables: what operators and package
// tools run first. The window program answers them without a display.
#include <sys/wait.h>

#include <cstdlib>

#include <gtest/gtest.h>

#include "app/core/CtlVerbs.h"
#include "app/core/ProgramVersion.h"
#include "tests/support/ChildProcess.h"

namespace {

struct Outcome {
    int code = -1;
    std::string output;
};

Outcome runToEnd(const std::string& program, const std::vector<std::string>& args) {
    ChildProcess child(program, args, "/");
    const int status = child.wait(30000);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, child.output()};
}

TEST(VersionTest, BothProgramsSayTheirVersionAndUsageAndExitZero) {
    ASSERT_STRNE("", ProgramVersion());
    // No display: the window program must not need one for these.
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    for (const auto& [program, name] :
         {std::pair<const char*, std::string>{PROCWARDD_EXECUTABLE, "procwardd"}, {PROCWARD_EXECUTABLE, "procward"}}) {
        SCOPED_TRACE(name);
        const Outcome version = runToEnd(program, {"--version"});
        EXPECT_EQ(0, version.code);
        EXPECT_EQ(name + " " + ProgramVersion() + "\n", version.output);

        for (const char* help : {"--help", "-h"}) {
            const Outcome usage = runToEnd(program, {help});
            EXPECT_EQ(0, usage.code) << help;
            EXPECT_EQ(0u, usage.output.rfind("usage: " + name, 0)) << usage.output;
            for (const char* part : {"--version", "[--config-dir DIR]"})
                EXPECT_NE(std::string::npos, usage.output.find(name + " " + part)) << part << "\n" << usage.output;
            // Every command ctl knows.
            for (const CtlVerb& verb : CtlVerbs())
                EXPECT_NE(std::string::npos, usage.output.find(name + " ctl " + verb.usage + "\n")) << verb.name << "\n"
                                                                                                    << usage.output;
        }

        // ctl --help: every command with a line on it, no supervisor asked.
        const Outcome ctlHelp = runToEnd(program, {"ctl", "--help"});
        EXPECT_EQ(0, ctlHelp.code) << ctlHelp.output;
        for (const CtlVerb& verb : CtlVerbs())
            EXPECT_NE(std::string::npos, ctlHelp.output.find("  " + std::string(verb.usage) + "\n      " + verb.help))
                << verb.name << "\n"
                << ctlHelp.output;

        // A mode given with it is a usage error, not a version.
        const Outcome both = runToEnd(program, {"--headless", "--version"});
        EXPECT_EQ(2, both.code) << both.output;
        EXPECT_NE(std::string::npos, both.output.find("\"--version\" cannot be combined")) << both.output;
    }
}

}  // namespace
