#include "app/core/StatusReport.h"

#include <chrono>
#include <ctime>
#include <map>
#include <vector>

#include <fmt/format.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "platform/SelfUsage.h"
#include "platform/System.h"
#include "platform/TextEncoding.h"

const char* StatusReport::stateName(ServerState state) { return serverStateName(state); }

std::string StatusReport::isoTime(std::int64_t secondsSince1970) {
    if (secondsSince1970 == 0) return {};
    std::tm local{};
    if (!platform::localTime(secondsSince1970, local)) return {};
    // The offset is the local calendar time read as if it were UTC, less the
    // time itself: strftime's %z is a zone name on some C runtimes (Windows),
    // which is neither ISO 8601 nor always UTF-8.
    using namespace std::chrono;
    const sys_days day{year{local.tm_year + 1900} / month{static_cast<unsigned>(local.tm_mon + 1)} /
                       static_cast<unsigned>(local.tm_mday)};
    const std::int64_t localAsUtc =
        day.time_since_epoch().count() * std::int64_t{86400} + local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
    const std::int64_t offset = localAsUtc - secondsSince1970;
    const std::int64_t minutes = (offset < 0 ? -offset : offset) / 60;
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}{}{:02}:{:02}", local.tm_year + 1900, local.tm_mon + 1,
                       local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, offset < 0 ? '-' : '+', minutes / 60,
                       minutes % 60);
}

std::string StatusReport::escapeLabel(const std::string& value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (c == '\\') out += "\\\\";
        else if (c == '"') out += "\\\"";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

std::string StatusReport::healthText(const ServerReport& s) {
    if (s.health != HealthState::Unhealthy || s.healthReason.empty()) return healthStateName(s.health);
    return std::string(healthStateName(s.health)) + ": " + s.healthReason;
}

std::string StatusReport::runningLine(const StatusSnapshot& snapshot) {
    return fmt::format("{} of {} servers running", snapshot.running, snapshot.servers.size());
}

std::string StatusReport::uptimeText(std::int64_t seconds) {
    if (seconds <= 0) return "-";
    if (seconds < 60) return std::to_string(seconds) + "s";
    if (seconds < 3600) return fmt::format("{}m{:02}s", seconds / 60, seconds % 60);
    if (seconds < 86400) return fmt::format("{}h{:02}m", seconds / 3600, seconds % 3600 / 60);
    return fmt::format("{}d{:02}h", seconds / 86400, seconds % 86400 / 3600);
}

std::size_t StatusReport::displayWidth(const std::string& text) {
    // fmt's own measure, the one its padding uses: East Asian wide
    // characters take two columns.
    return fmt::detail::compute_width(fmt::string_view(text));
}

std::string StatusReport::fit(const std::string& text, std::size_t columns) {
    if (displayWidth(text) <= columns) return text;
    // Cut between characters, never inside one, leaving room for the mark.
    std::string cut;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t length = 1;
        const auto lead = static_cast<unsigned char>(text[at]);
        if (lead >= 0xF0)
            length = 4;
        else if (lead >= 0xE0)
            length = 3;
        else if (lead >= 0xC0)
            length = 2;
        const std::string next = cut + text.substr(at, length);
        if (displayWidth(next) + 1 > columns) break;
        cut = next;
        at += length;
    }
    return cut + "…";
}

std::string StatusReport::table(const StatusSnapshot& snapshot) {
    // At most 120 columns: the whole of a long note is in `status NAME`.
    constexpr std::size_t kNote = 120 - 87;
    const char* const row = "{:>3} {:<16} {:<8} {:>7} {:>8} {:>6}  {:<21} {:<9} {}\n";
    std::string out =
        fmt::format(fmt::runtime(row), "IDX", "NAME", "STATE", "PID", "RESTARTS", "UPTIME", "LISTEN", "HEALTH", "NOTE");
    for (const ServerReport& s : snapshot.servers) {
        std::string note;
        if (s.state == ServerState::Failing || s.state == ServerState::Backoff) {
            // Why it is down, and when it is tried again where that is known.
            note = !s.startError.empty() ? s.startError : s.lastExit;
            const std::string at = isoTime(s.nextAttempt);
            if (s.nextAttempt)
                note += (note.empty() ? "" : "; ") + ("next " + (at.size() >= 19 ? at.substr(11, 8) : at));
        } else if (s.health == HealthState::Unhealthy) {
            note = s.healthReason;
        } else if (s.exit) {
            note = "last exit: " + s.exit->summary();
        }
        if (!s.autoStart) note = "kept down" + (note.empty() ? "" : "; " + note);
        out += fmt::format(fmt::runtime(row), s.index, fit(platform::terminalText(s.name), 16), stateName(s.state),
                           s.pid > 0 ? std::to_string(s.pid) : "-", s.restarts, uptimeText(s.uptimeSeconds),
                           fit(s.listen.empty() ? "-" : s.listen, 21), healthStateName(s.health),
                           fit(platform::terminalText(note), kNote));
    }
    out += runningLine(snapshot) + "\n";
    return out;
}

std::string StatusReport::json(const StatusSnapshot& snapshot) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
    auto string = [&](const std::string& text) { w.String(text.c_str(), static_cast<rapidjson::SizeType>(text.size())); };
    w.StartObject();
    w.Key("running");
    w.Int(snapshot.running);
    w.Key("total");
    w.Uint64(snapshot.servers.size());
    w.Key("checks");
    w.Uint64(snapshot.passes);
    w.Key("servers");
    w.StartArray();
    for (const ServerReport& s : snapshot.servers) {
        w.StartObject();
        w.Key("name");
        // JSON is UTF-8: a name with other bytes would make the whole text unreadable.
        string(platform::utf8Text(s.name));
        w.Key("index");
        w.Int(s.index);
        w.Key("pid");
        w.Int(s.pid);
        w.Key("listen");
        if (s.listen.empty()) w.Null(); else string(s.listen);
        w.Key("start_time");
        if (s.startTime == 0) w.Null(); else string(isoTime(s.startTime));
        w.Key("auto_start");
        w.Bool(s.autoStart);
        w.Key("state");
        w.String(stateName(s.state));
        if (s.nextAttempt != 0) {
            w.Key("next_attempt");
            string(isoTime(s.nextAttempt));
        }
        w.Key("last_exit");
        if (!s.exit) {
            w.Null();
        } else if (!s.exit->status) {
            w.String("unknown");
        } else {
            w.StartObject();
            w.Key(s.exit->status->how == platform::ExitStatus::How::Code ? "code" : "signal");
            w.Int(s.exit->status->value);
            w.Key("core_dumped");
            w.Bool(s.exit->status->coreDumped);
            w.Key("at");
            string(isoTime(s.exit->time));
            w.Key("ran_seconds");
            if (s.exit->ran)
                w.Double(std::chrono::duration<double>(*s.exit->ran).count());
            else
                w.Null();
            w.EndObject();
        }
        w.Key("last_exit_reason");
        if (s.lastExit.empty()) w.Null(); else string(s.lastExit);
        if (!s.startError.empty()) {
            w.Key("start_error");
            string(s.startError);
        }
        w.Key("restarts");
        w.Uint64(s.restarts);
        w.Key("launches");
        w.Uint64(s.launches);
        w.Key("exits");
        w.StartObject();
        w.Key("code");
        w.Uint64(s.exitsByCode);
        w.Key("signal");
        w.Uint64(s.exitsBySignal);
        w.EndObject();
        w.Key("uptime_seconds");
        w.Int64(s.uptimeSeconds);
        w.Key("output_file");
        if (s.outputFile.empty()) w.Null(); else string(platform::utf8Text(s.outputFile));
        if (!s.outputNote.empty()) {
            w.Key("output_note");
            string(s.outputNote);
        }
        w.Key("health");
        w.String(healthStateName(s.health));
        if (s.health == HealthState::Unhealthy) {
            w.Key("health_reason");
            string(platform::utf8Text(s.healthReason));
        }
        w.Key("health_failures");
        w.Uint64(s.healthFailures);
        w.EndObject();
    }
    w.EndArray();
    w.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::string StatusReport::metrics(const StatusSnapshot& snapshot, const Alerts& alerts, const std::string& version) {
    std::string out;
    auto family = [&](const char* name, const char* type, const char* help) {
        out += fmt::format("# HELP {} {}\n# TYPE {} {}\n", name, help, name, type);
    };
    // A series is known by the server's name alone, so that its history
    // survives a reordering of the list; where two entries share a name the
    // later ones are told apart by their rank among them ("web (2)"), and
    // the list position is kept apart in procward_server_info.
    std::vector<std::string> seriesName;
    {
        std::map<std::string, int> seen;
        for (const ServerReport& s : snapshot.servers) {
            const std::string name = platform::utf8Text(s.name);
            const int n = ++seen[name];
            seriesName.push_back(n == 1 ? name : fmt::format("{} ({})", name, n));
        }
    }
    auto named = [&](const ServerReport& s) {
        return fmt::format("name=\"{}\"",
                           escapeLabel(seriesName[static_cast<std::size_t>(&s - snapshot.servers.data())]));
    };
    auto labels = [&](const ServerReport& s) { return "{" + named(s) + "}"; };
    family("procward_build_info", "gauge", "Version of the running Procward; always 1.");
    out += fmt::format("procward_build_info{{version=\"{}\"}} 1\n", escapeLabel(version));

    family("procward_server_info", "gauge", "The server's place in the list and its executable file name; always 1.");
    for (const ServerReport& s : snapshot.servers)
        out += fmt::format("procward_server_info{{{},index=\"{}\",processname=\"{}\"}} 1\n", named(s), s.index,
                           escapeLabel(platform::utf8Text(s.processname)));

    family("procward_server_up", "gauge", "1 while the server is running (its process alive and confirmed), else 0.");
    for (const ServerReport& s : snapshot.servers)
        out += fmt::format("procward_server_up{} {}\n", labels(s), s.state == ServerState::Running ? 1 : 0);
    family("procward_server_state", "gauge",
           "The server's state: 1 for the state it is in, 0 for the others (stopped, starting, running, stopping, "
           "failing, backoff).");
    for (const ServerReport& s : snapshot.servers) {
        for (const ServerState state : {ServerState::Stopped, ServerState::Starting, ServerState::Running,
                                        ServerState::Stopping, ServerState::Failing, ServerState::Backoff})
            out += fmt::format("procward_server_state{{{},state=\"{}\"}} {}\n", named(s), stateName(state),
                               s.state == state ? 1 : 0);
    }
    family("procward_server_pid", "gauge", "Process ID of the server, 0 while it is down.");
    for (const ServerReport& s : snapshot.servers) out += fmt::format("procward_server_pid{} {}\n", labels(s), s.pid);
    family("procward_server_start_time_seconds", "gauge",
           "Start time of the server's process in seconds since 1970, 0 while it is down or unknown.");
    for (const ServerReport& s : snapshot.servers)
        out += fmt::format("procward_server_start_time_seconds{} {}\n", labels(s), s.startTime);
    family("procward_server_restarts_total", "counter",
           "Launches of the server by this Procward after it had run once (a server started once has 0).");
    for (const ServerReport& s : snapshot.servers)
        out += fmt::format("procward_server_restarts_total{} {}\n", labels(s), s.restarts);
    family("procward_server_launches_total", "counter", "Processes this Procward launched for the server.");
    for (const ServerReport& s : snapshot.servers)
        out += fmt::format("procward_server_launches_total{} {}\n", labels(s), s.launches);
    family("procward_server_last_exit_code", "gauge",
           "Exit code of the server's last process; a signal that ended it as its number made negative "
           "(-9 for SIGKILL). No sample until a process Procward started has ended.");
    for (const ServerReport& s : snapshot.servers)
        if (s.exit && s.exit->status)
            out += fmt::format("procward_server_last_exit_code{} {}\n", labels(s),
                               s.exit->status->how == platform::ExitStatus::How::Signal ? -s.exit->status->value
                                                                                        : s.exit->status->value);
    family("procward_server_exits_total", "counter",
           "Ends of the server's processes started by this Procward, by how they ended: an exit code or a signal.");
    for (const ServerReport& s : snapshot.servers) {
        out += fmt::format("procward_server_exits_total{{{},how=\"code\"}} {}\n", named(s), s.exitsByCode);
        out += fmt::format("procward_server_exits_total{{{},how=\"signal\"}} {}\n", named(s), s.exitsBySignal);
    }
    family("procward_server_auto_start", "gauge", "1 when the server is started again whenever it is found down.");
    for (const ServerReport& s : snapshot.servers)
        out += fmt::format("procward_server_auto_start{} {}\n", labels(s), s.autoStart ? 1 : 0);

    family("procward_server_healthy", "gauge",
           "1 while the server's health rule passes, 0 once it has failed as often as the rule allows; "
           "absent for a server without a rule or while no verdict is known.");
    for (const ServerReport& s : snapshot.servers)
        if (s.health == HealthState::Healthy || s.health == HealthState::Unhealthy)
            out += fmt::format("procward_server_healthy{} {}\n", labels(s), s.health == HealthState::Healthy ? 1 : 0);

    family("procward_server_health_failures_total", "counter",
           "Times the server's health rule found it unhealthy (failed as often in a row as the rule allows).");
    for (const ServerReport& s : snapshot.servers)
        out += fmt::format("procward_server_health_failures_total{} {}\n", labels(s), s.healthFailures);

    family("procward_alerts_total", "counter", "Alerts raised, by channel and what became of them there.");
    auto alertLine = [&](const std::string& channel, const char* result, std::uint64_t count) {
        out += fmt::format("procward_alerts_total{{channel=\"{}\",result=\"{}\"}} {}\n",
                           escapeLabel(platform::utf8Text(channel)), result, count);
    };
    alertLine("mail", "sent", alerts.sent);
    alertLine("mail", "failed", alerts.failed);
    alertLine("mail", "suppressed", alerts.suppressed);
    alertLine("mail", "off", alerts.off);
    alertLine("mail", "digested", alerts.digested);
    for (const auto& c : alerts.channels) {
        alertLine(c.name, "sent", c.sent);
        alertLine(c.name, "failed", c.failed);
        alertLine(c.name, "retried", c.retried);
        alertLine(c.name, "refused", c.refused);
        alertLine(c.name, "digested", c.digested);
    }
    family("procward_webhook_last_refusal_time_seconds", "gauge",
           "When a webhook's service last refused a post for good, with its own words.");
    for (const auto& c : alerts.channels)
        if (!c.lastRefusal.empty())
            out += fmt::format("procward_webhook_last_refusal_time_seconds{{channel=\"{}\",reason=\"{}\"}} {}\n",
                               escapeLabel(platform::utf8Text(c.name)), escapeLabel(platform::utf8Text(c.lastRefusal)),
                               c.lastRefusalTime);

    const PassHistogram& h = snapshot.passDurations;
    family("procward_check_duration_seconds", "histogram", "Time one check pass over every server took.");
    for (std::size_t i = 0; i < PassHistogram::kBounds.size(); ++i)
        out += fmt::format("procward_check_duration_seconds_bucket{{le=\"{}\"}} {}\n", PassHistogram::kBounds[i],
                           h.cumulative(i));
    out += fmt::format("procward_check_duration_seconds_bucket{{le=\"+Inf\"}} {}\n", h.count());
    out += fmt::format("procward_check_duration_seconds_sum {}\n", h.sumSeconds());
    out += fmt::format("procward_check_duration_seconds_count {}\n", h.count());
    return out;
}

std::string StatusReport::processMetrics(const platform::SelfUsage& usage) {
    std::string out;
    auto sample = [&](const char* name, const char* type, const char* help, auto value) {
        if (!value) return;
        out += fmt::format("# HELP {} {}\n# TYPE {} {}\n{} {}\n", name, help, name, type, name, *value);
    };
    sample("process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.",
           usage.cpuSeconds);
    sample("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.", usage.residentBytes);
    sample("process_open_fds", "gauge", "Number of open file descriptors.", usage.openFds);
    sample("process_max_fds", "gauge", "Maximum number of open file descriptors.", usage.maxFds);
    sample("process_start_time_seconds", "gauge", "Start time of the process since unix epoch in seconds.",
           usage.startTime);
    return out;
}
