#include "ui/model/AddServerForm.h"

#include "platform/System.h"
#include "platform/Text.h"

std::vector<ListedServer> ListedServers(const std::vector<ServerEntry>& servers) {
    std::vector<ListedServer> listed;
    listed.reserve(servers.size());
    for (const ServerEntry& server : servers) listed.push_back({server.name, server.commandline});
    return listed;
}

NewServerCheck CheckNewServer(std::string_view name, std::string_view fileName, std::string_view commandLine,
                              const std::vector<ListedServer>& listed) {
    NewServerCheck check;
    check.name = platform::trimWhite(name);
    check.processname = platform::trimWhite(fileName);
    check.commandline = platform::trimWhite(commandLine);
    auto refuse = [&check](const char* message, int focusId) {
        check.message = message;
        check.focusId = focusId;
        return check;
    };

    if (check.name.empty()) return refuse("名称不能为空！", kAddNameEditId);
    if (check.processname.empty()) return refuse("文件名不能为空！", kAddFileNameEditId);
    if (check.commandline.empty()) return refuse("命令行不能为空！", kAddCommandLineEditId);
    // One walk: a server is tested on both texts before the next one, so a
    // command line used by an earlier server wins over a name used later.
    for (const ListedServer& server : listed) {
        if (platform::equalsNoCase(check.name, server.name)) return refuse("名称已存在！", kAddNameEditId);
        if (platform::equalsNoCase(check.commandline, server.commandline))
            return refuse("命令行已存在！", kAddCommandLineEditId);
    }
    return check;
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
