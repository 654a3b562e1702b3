#include "app/core/CtlCommand.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "platform/CommandSocket.h"

namespace {
const char* const kCtlUsage =
    "usage: ctl status [--json] | start NAME | start --all | stop NAME | stop --all | restart NAME";
}  // namespace

bool CtlRequestLine(const std::vector<std::string>& args, std::string& line, std::string& error) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
    if (args.empty()) {
        error = "no command given";
        return false;
    }
    const std::string& verb = args[0];
    w.StartObject();
    w.Key("command");
    w.String(verb.c_str(), static_cast<rapidjson::SizeType>(verb.size()));
    if (verb == "status") {
        if (args.size() > 2 || (args.size() == 2 && args[1] != "--json")) {
            error = "status takes only --json";
            return false;
        }
        w.Key("json");
        w.Bool(args.size() == 2);
    } else if (verb == "start" || verb == "stop" || verb == "restart") {
        if (args.size() != 2) {
            error = args.size() < 2 ? verb + " needs the name of a server" + (verb == "restart" ? "" : " or --all")
                                    : "give the name as one argument (in quotes when it has blanks)";
            return false;
        }
        if (args[1] == "--all") {
            if (verb == "restart") {
                error = "restart takes the name of one server";
                return false;
            }
            w.Key("all");
            w.Bool(true);
        } else {
            w.Key("name");
            w.String(args[1].c_str(), static_cast<rapidjson::SizeType>(args[1].size()));
        }
    } else {
        error = "unknown command \"" + verb + "\"";
        return false;
    }
    w.EndObject();
    line.assign(buffer.GetString(), buffer.GetSize());
    return true;
}

int RunCtlCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    std::string line, error;
    if (!CtlRequestLine(args, line, error)) {
        std::fprintf(err, "ctl: %s\n%s\n", error.c_str(), kCtlUsage);
        return 1;
    }
    const std::string path = platform::commandSocketPath();
    std::string reply;
    switch (platform::sendCommand(path, line, reply, error)) {
        case platform::CommandResult::NoInstance:
            std::fprintf(err, "ctl: no Procward is running for this user (nothing listens on %s)\n", path.c_str());
            return 3;
        case platform::CommandResult::Failed:
            std::fprintf(err, "ctl: %s\n", error.c_str());
            return 1;
        case platform::CommandResult::Answered:
            break;
    }
    // The answer: the exit code on the first line, then the text.
    const std::size_t newline = reply.find('\n');
    const std::string code = reply.substr(0, newline);
    const std::string text = newline == std::string::npos ? std::string() : reply.substr(newline + 1);
    if (code != "0" && code != "1") {
        std::fprintf(err, "ctl: the answer was not understood\n");
        return 1;
    }
    std::fputs(text.c_str(), code == "0" ? out : err);
    if (!text.empty() && text.back() != '\n') std::fputc('\n', code == "0" ? out : err);
    return code == "0" ? 0 : 1;
}
