#include "supervision/HealthCheck.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "platform/LaunchTarget.h"
#include "platform/NetworkProbe.h"
#include "platform/ProcessMemory.h"
#include "supervision/ServerOutputFile.h"

namespace {

// The body is searched in its first part only: a health page is short, and
// a server that answers with a flood must not fill the supervisor's memory.
constexpr std::size_t kMaxBody = 64 * 1024;
// How often an exec probe's command is looked at while it runs.
constexpr std::chrono::milliseconds kExecPoll{10};
// How long a killed exec probe is waited for, so that it is collected.
constexpr std::chrono::seconds kKilledWait{2};

std::string addressText(const HealthCheck& check) {
    const bool v6 = check.host.find(':') != std::string::npos;
    return (v6 ? "[" + check.host + "]" : check.host) + ":" + std::to_string(check.port);
}

std::string noAnswer(const HealthCheck& check) { return "no answer in " + secondsText(check.timeout); }

void probeTcp(const HealthCheck& check, const platform::ProbeAnswer& probe, HealthCheckResult& result) {
    result.healthy = probe.end == platform::ProbeEnd::Answered;
    if (result.healthy)
        result.seen = "connected to " + addressText(check);
    else if (probe.end == platform::ProbeEnd::TimedOut)
        result.seen = noAnswer(check);
    else
        result.seen = "no connection to " + addressText(check) + ": " + probe.error;
}

void probeHttp(const HealthCheck& check, const platform::ProbeAnswer& probe, HealthCheckResult& result) {
    if (probe.end == platform::ProbeEnd::TimedOut) {
        result.seen = noAnswer(check);
        return;
    }
    if (probe.end != platform::ProbeEnd::Answered) {
        result.seen = "no answer from " + addressText(check) + check.path + ": " + probe.error;
        return;
    }
    result.seen = "HTTP " + std::to_string(probe.status) + " from " + check.path;
    if (probe.status < check.expectLow || probe.status > check.expectHigh) return;
    if (!check.bodyContains.empty() && probe.body.find(check.bodyContains) == std::string::npos) {
        result.seen += " without \"" + check.bodyContains + "\"";
        return;
    }
    result.healthy = true;
}

// Where an exec probe's output goes while it runs: a file of its own beside
// the server's output file (in Procward's own directory, which no other
// user can write to, so its name cannot be taken over by a link), read when
// the probe fails and removed, so that nothing of it reaches the server's
// output. A server whose output is discarded has its probes' discarded too.
class ProbeOutput {
public:
    explicit ProbeOutput(const std::string& serverOutput) {
        if (serverOutput.empty()) return;
        static std::atomic<unsigned> counter{0};
        // Unique among the probes running at the same moment.
        path_ = serverOutput + ".probe-" + std::to_string(++counter);
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    ~ProbeOutput() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove(path_, ignored);
    }
    ProbeOutput(const ProbeOutput&) = delete;
    ProbeOutput& operator=(const ProbeOutput&) = delete;

    const std::string& path() const { return path_; }
    // Its last lines, joined, for the reason of a failed probe: "" when it
    // wrote nothing.
    std::string lastLines() const {
        if (path_.empty()) return {};
        std::string text;
        for (const std::string& line : ServerOutputFile::lastLines(path_, 3, ServerOutputFile::size(path_))) {
            if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
            text += (text.empty() ? "" : " | ") + line;
        }
        return text.size() > 300 ? text.substr(0, 300) + "..." : text;
    }

private:
    std::string path_;
};

void probeExec(const HealthCheck& check, HealthCheckResult& result, platform::ProcessControl& control) {
    const std::string name = platform::programFileName(check.exec.commandLine);
    platform::LaunchFailure failure;
    const ProbeOutput output(check.exec.outputFile);
    platform::LaunchRequest request = check.exec;
    request.outputFile = output.path();
    std::unique_ptr<platform::ProcessHandle> process = control.start(request, failure);
    if (!process) {
        result.seen = "cannot run " + name + ": " + failure.text;
        return;
    }
    const auto until = std::chrono::steady_clock::now() + check.timeout;
    while (!process->exited() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(kExecPoll);
    if (!process->exited()) {
        int error = 0;
        process->signal(platform::StopSignal::Kill, true, error);
        const auto killedBy = std::chrono::steady_clock::now() + kKilledWait;
        while (!process->exited() && std::chrono::steady_clock::now() < killedBy) std::this_thread::sleep_for(kExecPoll);
        process->exitStatus();  // collected, so that it lingers nowhere
        result.seen = name + " did not end in " + secondsText(check.timeout);
        if (const std::string said = output.lastLines(); !said.empty()) result.seen += ": " + said;
        return;
    }
    const std::optional<platform::ExitStatus> status = process->exitStatus();
    if (!status) {
        result.seen = name + " ended, how is unknown";
        return;
    }
    result.healthy = status->how == platform::ExitStatus::How::Code && status->value == 0;
    result.seen = name + " " + platform::exitStatusText(*status);
    if (result.healthy) return;
    if (const std::string said = output.lastLines(); !said.empty()) result.seen += ": " + said;
}

}  // namespace

bool isNetworkLook(const HealthCheck& check) {
    return (check.probe == HealthProbe::tcp || check.probe == HealthProbe::http) && check.problem.empty() &&
           !check.readMemory;
}

platform::ProbeRequest probeRequestOf(const HealthCheck& check) {
    platform::ProbeRequest request;
    request.http = check.probe == HealthProbe::http;
    request.host = check.host;
    request.port = check.port;
    request.path = check.path;
    request.limit = check.timeout;
    request.maxBody = check.bodyContains.empty() ? 0 : kMaxBody;
    return request;
}

HealthCheckResult resultOf(const HealthCheck& check, const platform::ProbeAnswer& answer) {
    HealthCheckResult result;
    result.probed = true;
    if (check.probe == HealthProbe::tcp)
        probeTcp(check, answer, result);
    else
        probeHttp(check, answer, result);
    return result;
}

std::string secondsText(std::chrono::milliseconds duration) {
    char text[32];
    const long long ms = duration.count();
    if (ms % 1000 == 0)
        std::snprintf(text, sizeof text, "%lld s", ms / 1000);
    else
        std::snprintf(text, sizeof text, "%g s", static_cast<double>(ms) / 1000.0);
    return text;
}

HealthCheckResult runHealthCheck(const HealthCheck& check, platform::ProcessControl& control) {
    HealthCheckResult result;
    if (check.readMemory)
        result.residentBytes =
            check.group > 0 ? platform::groupResidentBytes(check.group) : platform::residentBytes(check.pid);
    if (check.probe == HealthProbe::none) return result;
    result.probed = true;
    if (!check.problem.empty()) {
        result.seen = check.problem;
        return result;
    }
    switch (check.probe) {
        case HealthProbe::tcp: {
            const platform::ConnectProbe connect = platform::probeConnect(check.host, check.port, check.timeout);
            platform::ProbeAnswer answer;
            answer.end = connect.end;
            answer.error = connect.error;
            probeTcp(check, answer, result);
            break;
        }
        case HealthProbe::http:
            probeHttp(check,
                      platform::probeHttp(check.host, check.port, check.path, check.timeout,
                                          check.bodyContains.empty() ? 0 : kMaxBody),
                      result);
            break;
        case HealthProbe::exec: probeExec(check, result, control); break;
        case HealthProbe::none: break;
    }
    return result;
}
