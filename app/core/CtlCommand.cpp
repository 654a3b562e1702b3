#include "app/core/CtlCommand.h"

#include <cmath>
#include <cstdlib>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <chrono>
#include <thread>

#include <rapidjson/document.h>

#include <fmt/format.h>

#include "app/core/CtlVerbs.h"
#include "app/core/StatusReport.h"
#include "platform/CommandSocket.h"
#include "platform/ProcessControl.h"
#include "platform/TextEncoding.h"
#include "supervision/OutputFollower.h"
#include "supervision/ServerOutputFile.h"

namespace {

// Seconds as given to --timeout: a number above 0, at most a day.
bool parseSeconds(const std::string& text, long long& ms) {
    if (text.empty()) return false;
    char* end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(seconds) || seconds <= 0 || seconds > 86400) return false;
    ms = static_cast<long long>(std::ceil(seconds * 1000));
    return true;
}

// `restore N`: the number of one copy, nothing else.
bool generationRequest(const CtlVerb& verb, const CtlWords& parsed, std::string& line, std::string& error) {
    const std::string name = verb.name;
    if (parsed.json || parsed.dryRun || parsed.group || parsed.now || parsed.all) {
        error = name + " takes the number of a copy and no option";
        return false;
    }
    const std::string number = parsed.words.size() == 2 ? parsed.words[1] : std::string();
    const bool digits =
        !number.empty() && number.size() < 7 && number.find_first_not_of("0123456789") == std::string::npos;
    const int n = digits ? std::stoi(number) : 0;
    if (n < 1 || n > kCtlMostGeneration) {
        error = name + " needs the number of one copy (1 the newest; ctl backups lists them)";
        return false;
    }
    line = fmt::format(R"({{"command":"{}","generation":{}}})", verb.request, n);
    return true;
}

}  // namespace

namespace {

// The key an option of add gives, null for any other word.
const char* entryField(const std::string& word) {
    for (const char* key : {"name", "processname", "commandline"}) {
        const std::string option = std::string("--") + key;
        if (word == option || word.rfind(option + "=", 0) == 0) return key;
    }
    return nullptr;
}

// KEY=VALUE (a text) or KEY:=JSON (any value; null removes the key) into
// `values`. False with the reason when the word is neither.
bool keyValue(const std::string& word, rapidjson::Value& values, rapidjson::Document::AllocatorType& allocator,
              std::string& error) {
    const std::size_t equals = word.find('=');
    if (equals == std::string::npos || equals == 0 || (equals == 1 && word[0] == ':')) {
        error = "\"" + word + "\" is no KEY=VALUE (a text) or KEY:=JSON (any value)";
        return false;
    }
    const bool json = word[equals - 1] == ':';
    const std::string key = word.substr(0, json ? equals - 1 : equals);
    const std::string text = word.substr(equals + 1);
    rapidjson::Value value;
    if (json) {
        rapidjson::Document parsed(&allocator);
        parsed.Parse(text.c_str(), text.size());
        if (parsed.HasParseError()) {
            error = key + ":= needs a JSON value, not \"" + text + "\" (KEY=VALUE gives a text)";
            return false;
        }
        value.CopyFrom(parsed, allocator);
    } else {
        value.SetString(text.c_str(), static_cast<rapidjson::SizeType>(text.size()), allocator);
    }
    if (values.HasMember(key.c_str())) {
        error = "\"" + key + "\" is given twice";
        return false;
    }
    values.AddMember(rapidjson::Value(key.c_str(), static_cast<rapidjson::SizeType>(key.size()), allocator), value,
                     allocator);
    return true;
}

// add: {"command":"add","entry":{...}}; set: {"command":"set","name":N,"values":{...}}.
bool editRequestLine(const CtlWords& parsed, std::string& line, std::string& error) {
    const std::string& verb = parsed.words[0];
    if (parsed.json || parsed.all || parsed.now || parsed.dryRun || parsed.group) {
        error = verb + " takes no options but its KEY=VALUE words";
        return false;
    }
    rapidjson::Document request(rapidjson::kObjectType);
    auto& allocator = request.GetAllocator();
    rapidjson::Value values(rapidjson::kObjectType);
    std::size_t first = 1;
    if (verb == "set") {
        if (parsed.words.size() < 3) {
            error = "set needs the name of a server and at least one KEY=VALUE";
            return false;
        }
        request.AddMember("name", rapidjson::Value(parsed.words[1].c_str(), allocator), allocator);
        first = 2;
    } else if (parsed.words.size() == 2 && parsed.fields.empty() && !parsed.words[1].empty() &&
               parsed.words[1][0] == '{') {
        // add '{"name": ...}': the entry as one JSON object.
        rapidjson::Document entry(&allocator);
        entry.Parse(parsed.words[1].c_str(), parsed.words[1].size());
        if (entry.HasParseError() || !entry.IsObject()) {
            error = "the entry is not a JSON object";
            return false;
        }
        values.CopyFrom(entry, allocator);
        first = parsed.words.size();
    } else {
        for (const auto& [key, text] : parsed.fields) {
            if (values.HasMember(key.c_str())) {
                error = "--" + key + " is given twice";
                return false;
            }
            values.AddMember(rapidjson::Value(key.c_str(), allocator),
                             rapidjson::Value(text.c_str(), static_cast<rapidjson::SizeType>(text.size()), allocator),
                             allocator);
        }
    }
    for (std::size_t i = first; i < parsed.words.size(); ++i)
        if (!keyValue(parsed.words[i], values, allocator, error)) return false;
    if (verb == "add") {
        if (values.ObjectEmpty()) {
            error = "add needs an entry: a JSON object, or --name, --processname and --commandline";
            return false;
        }
        for (auto member = values.MemberBegin(); member != values.MemberEnd(); ++member)
            if (member->value.IsNull()) {
                error = std::string("\"") + member->name.GetString() + "\": null only removes a key (set)";
                return false;
            }
    }
    request.AddMember("command", rapidjson::Value(verb.c_str(), allocator), allocator);
    request.AddMember(rapidjson::StringRef(verb == "add" ? "entry" : "values"), values, allocator);
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    request.Accept(writer);
    line.assign(buffer.GetString(), buffer.GetSize());
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
        } else if (word == "--help" || word == "-h") {
            parsed.help = true;
        } else if (word == "--json") {
            parsed.json = true;
        } else if (word == "--all") {
            parsed.all = true;
        } else if (word == "--now") {
            parsed.now = true;
        } else if (word == "--dry-run") {
            parsed.dryRun = true;
        } else if (word == "--group") {
            parsed.group = true;
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
        } else if (const char* field = entryField(word)) {
            const std::size_t equals = word.find('=');
            if (equals == std::string::npos && i + 1 >= args.size()) {
                error = word + " needs a value";
                return false;
            }
            parsed.fields.emplace_back(field, equals == std::string::npos ? args[++i] : word.substr(equals + 1));
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
    if (parsed.words.empty() && !parsed.help) {
        error = "no command given";
        return false;
    }
    return true;
}

bool CtlRequestLine(const CtlWords& parsed, std::string& line, std::string& error) {
    const std::string& name = parsed.words[0];
    const CtlVerb* verb = FindCtlVerb(name);
    if (!verb) {
        error = "unknown command \"" + name + "\"";
        return false;
    }
    if (!parsed.fields.empty() && verb->target != CtlTarget::Entry) {
        error = "--name, --processname and --commandline go with add";
        return false;
    }
    if (verb->target == CtlTarget::Entry || verb->target == CtlTarget::Keys)
        return editRequestLine(parsed, line, error);
    const std::size_t words = parsed.words.size() - 1;
    if (verb->target == CtlTarget::Generation) return generationRequest(*verb, parsed, line, error);
    const std::size_t arguments = verb->argument ? 1 : 0;
    const bool one = verb->target == CtlTarget::One || verb->target == CtlTarget::OneOrAll;
    const bool mayName = one || verb->target == CtlTarget::OptionalOne;
    const bool mayAll = verb->target == CtlTarget::OneOrAll;
    auto takes = [verb](CtlOption option) { return (verb->options & option) != 0; };
    const std::pair<bool, const char*> options[] = {
        {parsed.json, "--json"}, {parsed.dryRun, "--dry-run"}, {parsed.group, "--group"}};
    const CtlOption bits[] = {kCtlJson, kCtlDryRun, kCtlGroup};
    for (std::size_t i = 0; i < std::size(options); ++i)
        if (options[i].first && !takes(bits[i])) {
            error = name + " takes no " + options[i].second;
            return false;
        }
    if (parsed.now && !takes(kCtlNow)) {
        error = "--now goes with stop";
        return false;
    }
    if (parsed.all && (!mayAll || parsed.now)) {
        error = !mayName ? name + " takes no name"
                         : (parsed.now ? name + " --now" : name) + " takes the name of one server";
        return false;
    }
    if (!mayName && words > 0) {
        error = name + " takes no name";
        return false;
    }
    if (one && (parsed.all ? words != 0 : words < 1)) {
        error = parsed.all ? name + " --all takes no name"
                           : name + " needs the name of a server" + (mayAll && !parsed.now ? " or --all" : "");
        return false;
    }
    if (one && !parsed.all && words == 1 && arguments) {
        error = name + " needs the " + std::string(verb->argument) + " after the name";
        return false;
    }
    if (words > (mayName ? 1 : 0) + arguments) {
        error = "give the name as one argument (in quotes when it has blanks)";
        return false;
    }
    std::string signal;
    if (arguments) {
        platform::StopSignal kind = platform::StopSignal::Graceful;
        if (!platform::stopSignalOf(parsed.words[2], kind)) {
            error = "unknown signal \"" + parsed.words[2] + "\" (TERM, INT, QUIT, HUP, USR1, USR2 or KILL)";
            return false;
        }
        signal = platform::stopSignalName(kind);
    }
    // What the client works out itself (logs, status NAME) asks for the status.
    const bool local = std::string(verb->request) != verb->name || (name == "status" && words == 1);
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
    w.StartObject();
    w.Key("command");
    // stop --now is kill by its other name.
    w.String(parsed.now ? "kill" : verb->request);
    if (takes(kCtlJson) || local) {
        w.Key("json");
        w.Bool(parsed.json || local);
    }
    if (parsed.all) {
        w.Key("all");
        w.Bool(true);
    } else if (words > 0 && !local) {
        const std::string& server = parsed.words[1];
        w.Key("name");
        w.String(server.c_str(), static_cast<rapidjson::SizeType>(server.size()));
    }
    if (!signal.empty()) {
        w.Key("signal");
        w.String(signal.c_str());
    }
    if (parsed.group) {
        w.Key("group");
        w.Bool(true);
    }
    if (parsed.dryRun) {
        w.Key("dry_run");
        w.Bool(true);
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
        case platform::CommandResult::Failed: std::fprintf(err, "ctl: %s\n", error.c_str()); return 1;
        case platform::CommandResult::Answered: break;
    }
    // The answer: the exit code on the first line, then the text.
    const std::size_t newline = reply.find('\n');
    const std::string code = reply.substr(0, newline);
    text = newline == std::string::npos ? std::string() : reply.substr(newline + 1);
    if (code != "0" && code != "1" && code != "3") {
        std::fprintf(err, "ctl: the answer was not understood\n");
        return 1;
    }
    return std::stoi(code);
}

// The server NAME stands for in a status JSON, as the supervisor takes a
// NAME: the servers of that name; failing that, digits are an index. Null,
// with the reason printed, when there is none or more than one.
const rapidjson::Value* serverInStatus(rapidjson::Document& status, const std::string& text, const std::string& name,
                                       std::FILE* err) {
    status.Parse(text.c_str());
    if (status.HasParseError() || !status.IsObject() || !status.HasMember("servers") || !status["servers"].IsArray()) {
        std::fprintf(err, "ctl: the answer was not understood\n");
        return nullptr;
    }
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
        return nullptr;
    }
    if (found.size() > 1) {
        std::fprintf(err, "ctl: %zu servers are named \"%s\"; give the index of one instead\n", found.size(),
                     name.c_str());
        return nullptr;
    }
    return found.front();
}

// Asks for the status and finds the server named by the command's second
// word in it. Null when there is nothing to show: `code` is then the exit
// code (the answer or the complaint already said).
const rapidjson::Value* askServer(const CtlWords& parsed, rapidjson::Document& status, std::FILE* err, int& code) {
    std::string line, error, text;
    if (!CtlRequestLine(parsed, line, error)) {
        std::fprintf(err, "ctl: %s\n%s\n", error.c_str(), CtlUsage().c_str());
        code = 1;
        return nullptr;
    }
    code = ask(parsed, line, text, err);
    // 3 with an answer: the status, with some server down.
    if (code == 1 || text.empty()) {
        if (!text.empty()) std::fprintf(err, "%s\n", text.c_str());
        return nullptr;
    }
    const rapidjson::Value* found = serverInStatus(status, text, parsed.words[1], err);
    if (!found) code = 1;
    return found;
}

std::string count2(const rapidjson::Value& object, const char* key) {
    return object.HasMember(key) && object[key].IsUint64() ? std::to_string(object[key].GetUint64()) : std::string("0");
}

std::string textOf(const rapidjson::Value& object, const char* key, const char* none = "-") {
    if (!object.HasMember(key) || !object[key].IsString()) return none;
    return object[key].GetString();
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
    rapidjson::Document status;
    int code = 0;
    const rapidjson::Value* named = askServer(parsed, status, err, code);
    if (!named) return code;
    const std::string& name = parsed.words[1];
    const rapidjson::Value& server = *named;
    const std::string note =
        server.HasMember("output_note") && server["output_note"].IsString() ? server["output_note"].GetString() : "";
    if (!server.HasMember("output_file") || !server["output_file"].IsString()) {
        std::fprintf(err, "ctl: %s: %s\n", name.c_str(), note.empty() ? "its output is not kept" : note.c_str());
        return 1;
    }
    const std::string file = server["output_file"].GetString();
    // Said, but the file may still hold what its earlier launches wrote.
    if (!note.empty())
        std::fprintf(err, "ctl: %s: %s; %s holds what it wrote when Procward started it\n", name.c_str(), note.c_str(),
                     file.c_str());
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

int RunCtlStatusOf(const CtlWords& parsed, std::FILE* out, std::FILE* err) {
    rapidjson::Document status;
    int code = 0;
    const rapidjson::Value* found = askServer(parsed, status, err, code);
    if (!found) return code;
    const rapidjson::Value& s = *found;
    const std::string state = textOf(s, "state");
    const int pid = s.HasMember("pid") && s["pid"].IsInt() ? s["pid"].GetInt() : 0;
    // As the service managers show a unit: a headline, then one fact a line.
    std::string report = fmt::format("{} {} - {}{}\n", state == "running" ? "*" : "o", textOf(s, "name"), state,
                                     pid > 0 ? fmt::format(" (pid {})", pid) : "");
    auto fact = [&report](const char* title, const std::string& value) {
        if (!value.empty()) report += fmt::format("{:>12}: {}\n", title, value);
    };
    const bool autoStart = s.HasMember("auto_start") && s["auto_start"].IsBool() && s["auto_start"].GetBool();
    fact("State", state + (autoStart ? "; auto-start on" : "; auto-start off (kept down)"));
    if (pid > 0) {
        const std::int64_t up =
            s.HasMember("uptime_seconds") && s["uptime_seconds"].IsInt64() ? s["uptime_seconds"].GetInt64() : 0;
        fact("Since", textOf(s, "start_time") + " (up " + StatusReport::uptimeText(up) + ")");
    }
    if (s.HasMember("next_attempt")) fact("Next attempt", textOf(s, "next_attempt"));
    const auto count = [&s](const char* key) {
        return s.HasMember(key) && s[key].IsUint64() ? std::to_string(s[key].GetUint64()) : std::string("0");
    };
    std::string exits;
    if (s.HasMember("exits") && s["exits"].IsObject())
        exits = fmt::format("; ends: {} by exit code, {} by signal", count2(s["exits"], "code"),
                            count2(s["exits"], "signal"));
    fact("Restarts", count("restarts") + " (launches " + count("launches") + exits + ")");
    if (s.HasMember("last_exit_reason") && s["last_exit_reason"].IsString()) {
        std::string at;
        if (s.HasMember("last_exit") && s["last_exit"].IsObject()) at = " at " + textOf(s["last_exit"], "at");
        fact("Last exit", std::string(s["last_exit_reason"].GetString()) + at);
    }
    if (s.HasMember("start_error")) fact("Start error", textOf(s, "start_error"));
    std::string health = textOf(s, "health");
    if (s.HasMember("health_reason")) health += ": " + textOf(s, "health_reason");
    if (health != "-") fact("Health", health + " (failed " + count("health_failures") + " times)");
    fact("Listen", textOf(s, "listen"));
    const std::string file = textOf(s, "output_file", "");
    fact("Output", file.empty() ? "not kept" : file);
    if (s.HasMember("output_note")) fact("", textOf(s, "output_note"));
    std::fputs(platform::terminalText(report).c_str(), out);
    if (!file.empty()) {
        const std::vector<std::string> tail = ServerOutputFile::lastLines(file, 10, ServerOutputFile::size(file));
        if (!tail.empty()) {
            std::fputc('\n', out);
            printLines(tail, out);
        }
    }
    std::fflush(out);
    return state == "running" ? 0 : 3;
}

int RunCtlCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    CtlWords parsed;
    std::string line, error;
    if (ParseCtlWords(args, parsed, error) && parsed.help) {
        std::fputs(CtlHelp().c_str(), out);
        return 0;
    }
    if (!ParseCtlWords(args, parsed, error) || !CtlRequestLine(parsed, line, error)) {
        std::fprintf(err, "ctl: %s\n%s\n", error.c_str(), CtlUsage().c_str());
        return 1;
    }
    if ((parsed.follow || parsed.lines != 20) && parsed.words[0] != "logs") {
        std::fprintf(err, "ctl: -n and -f go with logs\n%s\n", CtlUsage().c_str());
        return 1;
    }
    if (parsed.words[0] == "logs") return RunCtlLogs(parsed, out, err);
    if (parsed.words[0] == "status" && parsed.words.size() == 2) return RunCtlStatusOf(parsed, out, err);
    std::string text;
    const int code = ask(parsed, line, text, err);
    if ((code == 3 && text.empty()) || (code == 1 && text.empty())) return code;
    // A status that finds servers down is still the status: it goes out.
    std::FILE* to = code == 1 ? err : out;
    std::fputs(text.c_str(), to);
    if (!text.empty() && text.back() != '\n') std::fputc('\n', to);
    return code;
}
