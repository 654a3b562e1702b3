#include "supervision/EntryCheck.h"

#include "platform/Text.h"

std::string EntryCheck::text() const {
    const std::string other = " is used by server " + std::to_string(clashesWith) + " already";
    switch (problem) {
        case EntryProblem::None: return {};
        case EntryProblem::NoName: return "the name is empty";
        case EntryProblem::NoProcessName: return "the file name (processname) is empty";
        case EntryProblem::NoCommandLine: return "the command line is empty";
        case EntryProblem::NameTaken: return "the name \"" + name + "\"" + other;
        case EntryProblem::CommandLineTaken: return "the command line" + other;
    }
    return {};
}

EntryCheck EntryCheck::of(const std::string& name, const std::string& processname, const std::string& commandline,
                          const std::vector<Listed>& listed) {
    EntryCheck check;
    check.name = platform::trimWhite(name);
    check.processname = platform::trimWhite(processname);
    check.commandline = platform::trimWhite(commandline);
    if (check.name.empty())
        check.problem = EntryProblem::NoName;
    else if (check.processname.empty())
        check.problem = EntryProblem::NoProcessName;
    else if (check.commandline.empty())
        check.problem = EntryProblem::NoCommandLine;
    if (!check.accepted()) return check;
    // One walk: an entry is tested on both texts before the next one, so a
    // command line used by an earlier entry wins over a name used later.
    for (const Listed& other : listed) {
        if (platform::equalsNoCase(check.name, other.name))
            check.problem = EntryProblem::NameTaken;
        else if (platform::equalsNoCase(check.commandline, other.commandline))
            check.problem = EntryProblem::CommandLineTaken;
        if (check.accepted()) continue;
        check.clashesWith = other.index;
        return check;
    }
    return check;
}
