#include "app/core/ControlServer.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <rapidjson/document.h>

#include "app/core/CtlVerbs.h"
#include "app/core/StatusBoard.h"
#include "app/core/StatusReport.h"
#include "log/AppLogger.h"
#include "platform/System.h"
#include "platform/TextEncoding.h"
#include "supervision/Supervisor.h"

namespace {

// The indexes a NAME stands for: the servers of that exact name; failing
// that, a NAME of digits is taken as an index.
std::vector<std::int32_t> serversNamed(const Supervisor& supervisor, const std::string& name) {
    std::vector<std::int32_t> found;
    for (const auto& [index, record] : supervisor.servers())
        if (record->info().name == name) found.push_back(index);
    if (found.empty() && !name.empty() && name.find_first_not_of("0123456789") == std::string::npos &&
        name.size() < 10) {
        const auto index = static_cast<std::int32_t>(std::stol(name));
        if (supervisor.servers().count(index)) found.push_back(index);
    }
    return found;
}

std::string describe(const std::string& verb, const std::string& name, bool all) {
    return all ? verb + " --all" : verb + " " + name;
}

}  // namespace

ControlServer::ControlServer(const StatusBoard& board, std::function<void()> wake)
    : board_(board), wake_(std::move(wake)) {}

ControlServer::~ControlServer() { stop(); }

bool ControlServer::allowed(std::int64_t peerUid, std::int64_t ownUid) {
    return peerUid >= 0 && (peerUid == 0 || peerUid == ownUid);
}

bool ControlServer::start(const std::string& path, std::string& error) {
    socket_ = platform::makeCommandSocket();
    if (!socket_->open(path, error)) {
        socket_.reset();
        return false;
    }
    worker_ = std::thread([this] { socket_->serve([this](platform::CommandRequest r) { onRequest(std::move(r)); }); });
    return true;
}

void ControlServer::stop() {
    std::vector<Command> left;
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        if (stopped_) return;
        stopped_ = true;
        left.swap(queue_);
    }
    alive_.reset();
    if (!socket_) return;
    for (const Command& command : left) answer(command.id, 1, "Procward is stopping; the command was not run");
    socket_->close();
    if (worker_.joinable()) worker_.join();
    socket_.reset();
}

void ControlServer::answer(std::uint64_t id, int code, const std::string& text) {
    if (!socket_) return;
    std::string reply = std::to_string(code) + "\n" + text;
    if (!text.empty() && text.back() != '\n') reply += '\n';
    socket_->reply(id, std::move(reply));
}

void ControlServer::onRequest(platform::CommandRequest request) {
    auto& log = AppLogger::Instance().get();
    const std::int64_t own = platform::currentUserId();
    if (!allowed(request.peerUid, own)) {
        log.warn("Control command from uid {} (pid {}) refused: only root and uid {} may control Procward",
                 request.peerUid, request.peerPid, own);
        answer(request.id, 1,
               fmt::format("refused: uid {} may not control this Procward (it runs as uid {})", request.peerUid, own));
        return;
    }
    rapidjson::Document parsed;
    parsed.Parse(request.line.c_str());
    auto text = [&](const char* key) -> std::string {
        if (!parsed.IsObject()) return {};
        const auto member = parsed.FindMember(key);
        if (member == parsed.MemberEnd() || !member->value.IsString()) return {};
        return std::string(member->value.GetString(), member->value.GetStringLength());
    };
    auto flag = [&](const char* key) {
        if (!parsed.IsObject()) return false;
        const auto member = parsed.FindMember(key);
        return member != parsed.MemberEnd() && member->value.IsBool() && member->value.GetBool();
    };
    Command command;
    command.id = request.id;
    command.uid = request.peerUid;
    command.verb = text("command");
    command.name = text("name");
    command.all = flag("all");
    command.group = flag("group");
    command.dryRun = flag("dry_run");
    command.signal = text("signal");
    if (parsed.IsObject())
        if (const auto member = parsed.FindMember("generation"); member != parsed.MemberEnd() && member->value.IsInt())
            command.generation = member->value.GetInt();
    const bool json = flag("json");
    command.json = json;
    for (const char* key : {"entry", "values"}) {
        if (!parsed.IsObject()) break;
        const auto member = parsed.FindMember(key);
        if (member == parsed.MemberEnd() || !member->value.IsObject()) continue;
        rapidjson::StringBuffer buffer;
        rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
        member->value.Accept(writer);
        command.payload.assign(buffer.GetString(), buffer.GetSize());
    }
    if (parsed.HasParseError() || command.verb.empty()) {
        log.warn("Control command from uid {} not understood: {}", request.peerUid, request.line.substr(0, 200));
        answer(request.id, 1, "the command was not understood");
        return;
    }
    if (command.verb == "status") {
        log.info("Control command from uid {}: status{}", request.peerUid, json ? " --json" : "");
        const auto snapshot = board_.current();
        // As LSB status commands answer: 3 while a server is not running.
        const bool allRunning = snapshot->running == static_cast<std::int32_t>(snapshot->servers.size());
        answer(request.id, allRunning ? 0 : 3, json ? StatusReport::json(*snapshot) : StatusReport::table(*snapshot));
        return;
    }
    // The table says what each command takes; those the client works out
    // itself (logs) are not run here.
    const CtlVerb* verb = FindCtlVerb(command.verb);
    const bool named = verb && (verb->target == CtlTarget::One || verb->target == CtlTarget::OneOrAll);
    const bool whole = verb && verb->target == CtlTarget::None;
    platform::StopSignal signal = platform::StopSignal::Graceful;
    const bool badSignal = verb && verb->argument && !platform::stopSignalOf(command.signal, signal);
    const bool allowsAll = verb && verb->target == CtlTarget::OneOrAll;
    const bool badGeneration =
        verb && (verb->target == CtlTarget::Generation ? command.generation < 1 || command.all || !command.name.empty()
                                                       : command.generation != 0);
    const bool edit = verb && (verb->target == CtlTarget::Entry || verb->target == CtlTarget::Keys);
    const bool badEdit =
        edit && (command.payload.empty() || command.all || (verb->target == CtlTarget::Keys) == command.name.empty());
    if (!verb || command.verb != verb->request || badSignal || badGeneration || badEdit || (command.all && !allowsAll) ||
        (named && !command.all && command.name.empty()) || (whole && (command.all || !command.name.empty()))) {
        log.warn("Control command from uid {} not understood: {}", request.peerUid, request.line.substr(0, 200));
        answer(request.id, 1, "the command was not understood");
        return;
    }
    log.info("Control command from uid {}: {}{}{}", request.peerUid,
             whole                ? command.verb
             : command.generation ? command.verb + " " + std::to_string(command.generation)
                                  : describe(command.verb, command.name, command.all),
             command.signal.empty() ? "" : " " + command.signal, command.dryRun ? " --dry-run" : "");
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        if (stopped_) return;
        queue_.push_back(std::move(command));
    }
    wake_();
}

void ControlServer::runQueued(Supervisor& supervisor) {
    std::vector<Command> due;
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        due.swap(queue_);
    }
    for (const Command& command : due) run(supervisor, command);
}

std::function<void(const CommandResult&)> ControlServer::replyTo(std::uint64_t id, const std::string& verb, bool all,
                                                                 const std::string& signal) {
    // The answer may come after this server has stopped (a stop under way).
    return [this, alive = std::weak_ptr<int>(alive_), id, verb, all, signal](const CommandResult& r) {
        if (alive.expired()) return;
        const CtlVerb* words = FindCtlVerb(verb);
        if (!words) return;
        const bool ok = r.ok();
        const std::string name = platform::terminalText(r.name);
        const auto say = [&](const char* pattern) {
            return fmt::format(
                fmt::runtime(pattern), fmt::arg("name", name), fmt::arg("pid", r.pid), fmt::arg("count", r.servers),
                fmt::arg("signal", signal), fmt::arg("error", platform::terminalText(r.error)),
                fmt::arg("names", platform::terminalText(fmt::format("{}", fmt::join(r.notDone, ", ")))));
        };
        if (all) {
            answer(id, ok ? 0 : 1, say(ok ? words->allDone : words->allFailed));
            return;
        }
        switch (r.status) {
            case CommandStatus::AlreadyRunning: answer(id, 0, say("{name} is already running: pid={pid}")); return;
            case CommandStatus::NotRunning:
                if (verb == "signal")
                    answer(id, 1, say("{name} is not running: no signal was sent"));
                else
                    answer(id, 0, say("{name} is not running; it stays down"));
                return;
            case CommandStatus::Stopping:
                answer(id, 1, say("{name} is stopping; start it again once it has stopped"));
                return;
            case CommandStatus::Gone: answer(id, 1, say("{name} is no longer in the list")); return;
            case CommandStatus::StopFailed:
                answer(id, 1,
                       say(verb == "signal" ? words->failed
                           : verb == "kill" ? "{name} could not be killed (see the log)"
                                            : "{name} could not be stopped (see the log)"));
                return;
            case CommandStatus::Done: answer(id, 0, say(words->done)); return;
            default: answer(id, 1, say(words->failed)); return;
        }
    };
}

void ControlServer::run(Supervisor& supervisor, const Command& command) {
    if (command.verb == "backups" || command.verb == "restore") {
        std::string text;
        const bool listing = command.verb == "backups";
        if (listing ? !actions_.backups : !actions_.restore) {
            answer(command.id, 1, "this Procward keeps no copies of its list");
            return;
        }
        const bool ok = listing ? actions_.backups(text) : actions_.restore(command.generation, text);
        answer(command.id, ok ? 0 : 1, text);
        return;
    }
    if (command.verb == "list" || command.verb == "add" || command.verb == "set" || command.verb == "remove") {
        std::string text;
        if (!actions_.editList)
            answer(command.id, 1, "this Procward cannot change its list from ctl (change it in the window)");
        else {
            const bool ok = actions_.editList(command.verb, command.name, command.payload, command.json, text);
            answer(command.id, ok ? 0 : 1, text);
        }
        return;
    }
    if (command.verb == "reload" || command.verb == "shutdown") {
        if (command.verb == "reload") {
            std::string text;
            if (!actions_.reload)
                answer(command.id, 1, "this Procward cannot reload");
            else {
                const bool ok = actions_.reload(text, command.dryRun);
                answer(command.id, ok ? 0 : 1, text);
            }
            return;
        }
        if (!actions_.shutdown) {
            answer(command.id, 1, "this Procward cannot be ended by ctl");
            return;
        }
        // Answered first: the socket closes as the program ends.
        // A container's init takes its servers along: they are stopped first.
        answer(command.id, 0,
               platform::runsAsInit() ? "Procward is ending; it runs as PID 1, so the servers are stopped first"
                                      : "Procward is ending; the servers keep running");
        actions_.shutdown();
        return;
    }
    auto answered = std::make_shared<bool>(false);
    auto done = replyTo(command.id, command.verb, command.all, command.signal);
    auto reply = [done = std::move(done), answered](const CommandResult& r) {
        *answered = true;
        done(r);
    };
    // A stop waits for its time-out, then at most a few seconds for the
    // killed process (a restart also for the start that follows).
    const auto stopTimeout = std::chrono::duration_cast<std::chrono::seconds>(supervisor.options().stopTimeout);
    const long long bound = (command.verb == "kill" ? 0 : stopTimeout.count()) + 15;
    auto tellIfWaiting = [&] {
        if (!*answered && socket_) socket_->notice(command.id, platform::progressNotice(bound));
    };
    if (command.all) {
        if (command.verb == "start")
            supervisor.startAll(reply);
        else
            supervisor.stopAll(reply);
        tellIfWaiting();
        return;
    }
    const std::vector<std::int32_t> found = serversNamed(supervisor, command.name);
    if (found.empty()) {
        answer(command.id, 1, fmt::format("no server is named \"{}\"", platform::terminalText(command.name)));
        return;
    }
    if (found.size() > 1) {
        answer(command.id, 1,
               fmt::format("{} servers are named \"{}\"; give the index of one instead", found.size(),
                           platform::terminalText(command.name)));
        return;
    }
    const std::int32_t index = found.front();
    if (command.verb == "check") {
        // Answered once the check has come back, within the rule's time-out.
        supervisor.checkHealth(index, [this, alive = std::weak_ptr<int>(alive_), id = command.id, answered](
                                          bool passed, const std::string& text) {
            *answered = true;
            if (!alive.expired()) answer(id, passed ? 0 : 1, platform::terminalText(text));
        });
        // A rule's time-out may be longer than ctl waits by itself.
        const MonitoredServer* server = supervisor.find(index);
        if (!*answered && socket_ && server && server->options().health) {
            const auto limit = std::chrono::duration_cast<std::chrono::seconds>(server->options().health->timeout);
            socket_->notice(command.id, platform::progressNotice(limit.count() + 5));
        }
        return;
    }
    if (command.verb == "signal") {
        platform::StopSignal kind = platform::StopSignal::Graceful;
        platform::stopSignalOf(command.signal, kind);
        supervisor.signal(index, kind, command.group, reply);
        return;
    }
    if (command.verb == "start")
        supervisor.start(index, reply);
    else if (command.verb == "stop")
        supervisor.stop(index, reply);
    else if (command.verb == "kill")
        supervisor.kill(index, reply);
    else
        supervisor.restart(index, reply);
    tellIfWaiting();
}
