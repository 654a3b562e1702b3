#include <cstdio>
#include <cstring>

#include <wx/app.h>
#include <wx/init.h>

#include "app/CProcwardApp.h"
#include "app/core/HeadlessRunner.h"
#include "app/core/Startup.h"
#include "app/core/TestMailCommand.h"

namespace {

void printUsage() {
    std::puts("usage: procward              run the supervisor in its window\n"
              "       procward --headless   run it without a window (stop with SIGINT or SIGTERM)\n"
              "       procward --test-mail [--verbose]\n"
              "                             send a test mail with the settings of procward.ini;\n"
              "                             --verbose prints the SMTP conversation");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        if (std::strcmp(argv[1], "--headless") == 0) {
            if (!RunStartupSteps()) {
                std::fputs("Procward is already running on this machine.\n", stderr);
                return 0;
            }
            HeadlessRunner runner;
            return runner.run();
        }
        if (std::strcmp(argv[1], "--test-mail") == 0) {
            const bool verbose = argc > 2 && std::strcmp(argv[2], "--verbose") == 0;
            return RunTestMailCommand(stdout, verbose);
        }
        if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
            printUsage();
            return 0;
        }
    }
    wxApp::SetInstance(new CProcwardApp);
    return wxEntry(argc, argv);
}
