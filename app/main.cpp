#include <cstdio>
#include <string>
#include <vector>

#include <wx/app.h>
#include <wx/init.h>

#include "app/CProcwardApp.h"
#include "app/core/CommandLine.h"
#include "app/core/ProgramModes.h"
#include "app/core/Startup.h"
#include "platform/System.h"

int main(int argc, char** argv) {
    const CommandLine line = CommandLine::parse(platform::programArguments(argc, argv), false);
    if (line.mode != CommandLine::Mode::Window) {
        platform::useParentConsole();
        return RunProgramMode(line, "procward", false);
    }
    // The directories are checked before the toolkit starts: a bad one ends
    // the program with a message and no window.
    if (!ApplyDirectories(line, "procward", stderr)) return 1;
    std::vector<std::string> words = line.toolkitArgs;
    std::vector<char*> args;
    for (std::string& word : words) args.push_back(word.data());
    args.push_back(nullptr);
    int count = static_cast<int>(words.size());
    wxApp::SetInstance(new CProcwardApp);
    return wxEntry(count, args.data());
}
