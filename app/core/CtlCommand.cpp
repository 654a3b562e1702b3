#include "app/core/CtlCommand.h"

#include <cmath>
#include <cstdlib>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <chrono>
#include <thread>

#include <rapidjson/document.h>

#include "platform/CommandSocket.h"
#include "supervision/OutputFollower.h"
#include "supervision/ServerOutputFile.h"

namespace {

const char* const kCtlUsage =
    "usage: ctl [--timeout SECONDS] status [--json] | start NAME | start --all | stop NAME | stop --all |\n"
    "       stop --now NAME | kill NAME | restart NAME | check NAME | logs NAME [-n LINES] [-f] | reload |\n"
    "       shutdown   (-- ends the options)";

// Seconds as given to --timeout: a number above 0, at most a day.
bool parseSeconds(const std::string& text, long long& ms) {
    if (text.empty()) return false;
    char* end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(seconds) || seconds <= 0 || seconds > 86400) return false;
    ms = static_cast<long long>(std::ceil(seconds * 1000));
    return true;
}

}  // namespace

bool ParseCtlWords(const std::vector<std::string>& args, CtlWords& parsed, std::string& error) {
    parsed = CtlWords{};
    bool options = true;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (!options || word.size() < 2 || word[0] != '-') {
            parsed.words.push_back(word);
            continue;
        }
        if (word == "--") {
            options = false;
        } else if (word == "--json") {
            parsed.json = true;
        } else if (word == "--all") {
            parsed.all = true;
        } else if (word == "--now") {
            parsed.now = true;
        } else if (word == "-f" || word == "--follow") {
            parsed.follow = true;
        } else if (word == "-n" || word == "--lines" || word.rfind("--lines=", 0) == 0) {
            const std::string value = word.size() > 8 ? word.substr(8) : i + 1 < args.size() ? args[++i] : "";
            char* end = nullptr;
            const long long n = std::strtoll(value.c_str(), &end, 10);
            if (value.empty() || end != value.c_str() + value.size() || n < 0 || n > 100000) {
                error = "-n needs a number of lines from 0 to 100000";
                return false;
            }
            parsed.lines = n;
        } else if (word == "--timeout" || word.rfind("--timeout=", 0) == 0) {
            std::string value;
            if (word.size() > 9) {
                value = word.substr(10);
            } else if (i + 1 < args.size()) {
                value = args[++i];
            }
            if (!parseSeconds(value, parsed.timeoutMs)) {
                error = "--timeout needs a number of seconds above 0 (at most 86400)";
                return false;
            }
        } else {
            error = "unknown option \"" + word + "\" (a name that begins with - goes after --)";
            return false;
        }
    }
    if (parsed.words.empty()) {
        error = "no command given";
        return false;
    }
    return true;
}

bool CtlRequestLine(const CtlWords& parsed, std::string& line, std::string& error) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
    const std::string& verb = parsed.words[0];
    const std::size_t names = parsed.words.size() - 1;
    std::string command = verb;
    w.StartObject();
    if (verb == "status") {
        if (names > 0 || parsed.all || parsed.now) {
            error = "status takes only --json";
            return false;
        }
        w.Key("command");
        w.String("status");
        w.Key("json");
        w.Bool(parsed.json);
    } else if (verb == "logs") {
        if (names != 1 || parsed.all || parsed.now || parsed.json) {
            error = names == 0 ? "logs needs the name of a server" : "logs takes the name of one server, -n and -f";
            return false;
        }
        // The output file is named in the status; ctl reads it itself.
        w.Key("command");
        w.String("status");
        w.Key("json");
        w.Bool(true);
    } else if (verb == "reload" || verb == "shutdown") {
        if (names > 0 || parsed.all || parsed.now || parsed.json) {
            error = verb + " takes no name";
            return false;
        }
        w.Key("command");
        w.String(verb.c_str());
    } else if (verb == "start" || verb == "stop" || verb == "restart" || verb == "kill") {
        const bool allowsAll = verb == "start" || verb == "stop";
        if (parsed.json || (parsed.now && verb != "stop")) {
            error = parsed.json ? verb + " takes no --json" : "--now goes with stop";
            return false;
        }
        if (parsed.all && (!allowsAll || parsed.now)) {
            error = (parsed.now ? std::string("stop --now") : verb) + " takes the name of one server";
            return false;
        }
        if (parsed.all ? names != 0 : names != 1) {
            error = parsed.all ? verb + " --all takes no name"
                    : names == 0
                        ? verb + " needs the name of a server" + (allowsAll && !parsed.now ? " or --all" : "")
                        : "give the name as one argument (in quotes when it has blanks)";
            return false;
        }
        // stop --now is kill by its other name.
        if (parsed.now) command = "kill";
        w.Key("command");
        w.String(command.c_str());
        if (parsed.all) {
            w.Key("all");
            w.Bool(true);
        } else {
            const std::string& name = parsed.words[1];
            w.Key("name");
            w.String(name.c_str(), static_cast<rapidjson::SizeType>(name.size()));
        }
    } else if (verb == "check") {
        if (parsed.json || parsed.now || parsed.all || names != 1) {
            error = names == 1 ? "check takes the name of one server only"
                    : names == 0 ? "check needs the name of a server"
                                 : "give the name as one argument (in quotes when it has blanks)";
            return false;
        }
        const std::string& name = parsed.words[1];
        w.Key("command");
        w.String("check");
        w.Key("name");
        w.String(name.c_str(), static_cast<rapidjson::SizeType>(name.size()));
    } else {
        error = "unknown command \"" + verb + "\"";
        return false;
    }
    w.EndObject();
    line.assign(buffer.GetString(), buffer.GetSize());
    return true;
}

bool CtlRequestLine(const std::vector<std::string>& args, std::string& line, std::string& error) {
    CtlWords parsed;
    return ParseCtlWords(args, parsed, error) && CtlRequestLine(parsed, line, error);
}

namespace {

// Sends the request of `parsed` and takes the answer apart: the exit code
// for ctl, and the text. On no answer, the code (3 or 1) with the reason
// already printed.
int ask(const CtlWords& parsed, const std::string& line, std::string& text, std::FILE* err) {
    std::string error;
    std::string path = platform::commandSocketPath();
    std::string reply;
    platform::CommandResult result = platform::sendCommand(path, line, reply, error, parsed.timeoutMs);
    // No copy of this user's own: the one run as the system's service, when
    // there is one.
    const std::string service = platform::serviceCommandSocketPath();
    if (result == platform::CommandResult::NoInstance && !service.empty() && service != path) {
        const platform::CommandResult asService = platform::sendCommand(service, line, reply, error, parsed.timeoutMs);
        if (asService != platform::CommandResult::NoInstance) {
            path = service;
            result = asService;
        }
    }
    switch (result) {
        case platform::CommandResult::NoInstance:
            std::fprintf(err, "ctl: no Procward is running for this user (nothing listens on %s)\n", path.c_str());
            return 3;
        case platform::CommandResult::TimedOut:
            std::fprintf(err,
                         "ctl: Procward did not answer within %g s (%s); it may be stopped or hung, see its log, "
                         "or give more time with --timeout\n",
                         static_cast<double>(parsed.timeoutMs) / 1000, path.c_str());
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
    text = newline == std::string::npos ? std::string() : reply.substr(newline + 1);
    if (code != "0" && code != "1") {
        std::fprintf(err, "ctl: the answer was not understood\n");
        return 1;
    }
    return code == "0" ? 0 : 1;
}

void printLines(const std::vector<std::string>& lines, std::FILE* out) {
    for (const std::string& line : lines) {
        std::fwrite(line.data(), 1, line.size(), out);
        std::fputc('\n', out);
    }
    std::fflush(out);
}

}  // namespace

int RunCtlLogs(const CtlWords& parsed, std::FILE* out, std::FILE* err, bool (*keepGoing)()) {
    std::string line, error, text;
    if (!CtlRequestLine(parsed, line, error)) {
        std::fprintf(err, "ctl: %s\n%s\n", error.c_str(), kCtlUsage);
        return 1;
    }
    const int code = ask(parsed, line, text, err);
    if (code != 0) {
        if (!text.empty()) std::fprintf(err, "%s\n", text.c_str());
        return code;
    }
    rapidjson::Document status;
    status.Parse(text.c_str());
    if (status.HasParseError() || !status.IsObject() || !status.HasMember("servers") || !status["servers"].IsArray()) {
        std::fprintf(err, "ctl: the answer was not understood\n");
        return 1;
    }
    // As the supervisor takes a NAME: the servers of that name; failing
    // that, digits are an index.
    const std::string& name = parsed.words[1];
    std::vector<const rapidjson::Value*> found;
    for (const auto& server : status["servers"].GetArray())
        if (server.HasMember("name") && server["name"].IsString() && name == server["name"].GetString())
            found.push_back(&server);
    if (found.empty() && !name.empty() && name.size() < 10 && name.find_first_not_of("0123456789") == std::string::npos)
        for (const auto& server : status["servers"].GetArray())
            if (server.HasMember("index") && server["index"].IsInt() && server["index"].GetInt() == std::stoi(name))
                found.push_back(&server);
    if (found.empty()) {
        std::fprintf(err, "ctl: no server is named \"%s\"\n", name.c_str());
        return 1;
    }
    if (found.size() > 1) {
        std::fprintf(err, "ctl: %zu servers are named \"%s\"; give the index of one instead\n", found.size(),
                     name.c_str());
        return 1;
    }
    const rapidjson::Value& server = *found.front();
    const std::string note =
        server.HasMember("output_note") && server["output_note"].IsString() ? server["output_note"].GetString() : "";
    if (!server.HasMember("output_file") || !server["output_file"].IsString()) {
        std::fprintf(err, "ctl: %s: %s\n", name.c_str(), note.empty() ? "its output is not kept" : note.c_str());
        return 1;
    }
    const std::string file = server["output_file"].GetString();
    // Said, but the file may still hold what its earlier launches wrote.
    if (!note.empty()) std::fprintf(err, "ctl: %s: %s; %s holds what it wrote when Procward started it\n",
                                    name.c_str(), note.c_str(), file.c_str());
    OutputFollower follower(file);
    if (ServerOutputFile::size(file) < 0 && !parsed.follow) {
        std::fprintf(err, "ctl: %s has written nothing yet (%s does not exist)\n", name.c_str(), file.c_str());
        return 0;
    }
    printLines(ServerOutputFile::lastLines(file, static_cast<std::size_t>(parsed.lines), follower.offset()), out);
    if (!parsed.follow) return 0;
    while (!keepGoing || keepGoing()) {
        const std::string more = follower.poll();
        if (more.empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            continue;
        }
        std::fwrite(more.data(), 1, more.size(), out);
        std::fflush(out);
    }
    return 0;
}

int RunCtlCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    CtlWords parsed;
    std::string line, error;
    if (!ParseCtlWords(args, parsed, error) || !CtlRequestLine(parsed, line, error)) {
        std::fprintf(err, "ctl: %s\n%s\n", error.c_str(), kCtlUsage);
        return 1;
    }
    if ((parsed.follow || parsed.lines != 20) && parsed.words[0] != "logs") {
        std::fprintf(err, "ctl: -n and -f go with logs\n%s\n", kCtlUsage);
        return 1;
    }
    if (parsed.words[0] == "logs") return RunCtlLogs(parsed, out, err);
    std::string text;
    const int code = ask(parsed, line, text, err);
    if (code == 3 || (code == 1 && text.empty())) return code;
    std::fputs(text.c_str(), code == 0 ? out : err);
    if (!text.empty() && text.back() != '\n') std::fputc('\n', code == 0 ? out : err);
    return code;
}
