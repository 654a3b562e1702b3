#include "ui/model/AddServerForm.h"

#include "platform/System.h"
#include "platform/Text.h"
#include "supervision/EntryCheck.h"

std::vector<ListedServer> ListedServers(const std::vector<ServerEntry>& servers) {
    std::vector<ListedServer> listed;
    listed.reserve(servers.size());
    for (const ServerEntry& server : servers) listed.push_back({server.name, server.commandline});
    return listed;
}

NewServerCheck NewServerCheckOf(const EntryCheck& engine) {
    NewServerCheck check;
    check.name = engine.name;
    check.processname = engine.processname;
    check.commandline = engine.commandline;
    switch (engine.problem) {
        case EntryProblem::None: break;
        case EntryProblem::NoName:
            check.message = "名称不能为空！";
            check.focusId = kAddNameEditId;
            break;
        case EntryProblem::NoProcessName:
            check.message = "文件名不能为空！";
            check.focusId = kAddFileNameEditId;
            break;
        case EntryProblem::NoCommandLine:
            check.message = "命令行不能为空！";
            check.focusId = kAddCommandLineEditId;
            break;
        case EntryProblem::NameTaken:
            check.message = "名称已存在！";
            check.focusId = kAddNameEditId;
            break;
        case EntryProblem::CommandLineTaken:
            check.message = "命令行已存在！";
            check.focusId = kAddCommandLineEditId;
            break;
    }
    return check;
}

NewServerCheck CheckNewServer(std::string_view name, std::string_view fileName, std::string_view commandLine,
                              const std::vector<ListedServer>& listed) {
    std::vector<EntryCheck::Listed> entries;
    entries.reserve(listed.size());
    for (const ListedServer& server : listed)
        entries.push_back({static_cast<std::int32_t>(entries.size() + 1), server.name, server.commandline});
    return NewServerCheckOf(
        EntryCheck::of(std::string(name), std::string(fileName), std::string(commandLine), entries));
}

std::optional<std::string> ProposeServerName(std::string_view fileNameText, std::string_view commandLineText) {
    const std::string commandLine = platform::trimWhite(commandLineText);
    const std::size_t blank = commandLine.rfind(' ');
    if (blank == std::string::npos) return std::nullopt;
    return std::string(fileNameText) + commandLine.substr(blank + 1);
}

BrowsedServer SplitBrowsedPath(const std::string& path) {
    const std::size_t separator = path.rfind(platform::pathSeparator());
    const std::string file = separator == std::string::npos ? path : path.substr(separator + 1);
    return {file, file, path};
}
