#include "ui/model/AddServerForm.h"

#include <algorithm>

#include "platform/CommandLineSplitter.h"

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

std::string ProgramFileName(std::string_view commandLineText) {
    const std::string commandLine = platform::trimWhite(commandLineText);
    std::vector<std::string> words;
    std::string program;
    if (platform::CommandLineSplitter::split(commandLine, words) == platform::CommandLineSplitter::Result::Ok) {
        if (!words.empty()) program = words.front();
    } else {
        program = commandLine.substr(0, commandLine.find_first_of(" \t"));
        program.erase(std::remove_if(program.begin(), program.end(), [](char c) { return c == '"' || c == '\''; }),
                      program.end());
    }
    const std::size_t separator = program.find_last_of(std::string("/") + platform::pathSeparator());
    return separator == std::string::npos ? program : program.substr(separator + 1);
}

AddStripFill FillAddStrip(const AddStripFields& shown, const AddStripFields& filledBefore,
                          std::string_view commandLineText) {
    AddStripFill fill;
    std::string fileName = shown.fileName;
    if (shown.fileName.empty() || shown.fileName == filledBefore.fileName) {
        fileName = ProgramFileName(commandLineText);
        if (fileName != shown.fileName) fill.fileName = fileName;
    }
    if (shown.name.empty() || shown.name == filledBefore.name) {
        const std::optional<std::string> proposed = ProposeServerName(fileName, commandLineText);
        if (proposed && *proposed != shown.name) fill.name = *proposed;
    }
    return fill;
}

BrowsedServer SplitBrowsedPath(const std::string& path) {
    const std::size_t separator = path.rfind(platform::pathSeparator());
    const std::string file = separator == std::string::npos ? path : path.substr(separator + 1);
    return {file, file, path};
}
