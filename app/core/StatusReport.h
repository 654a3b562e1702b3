#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "app/core/StatusSnapshot.h"
#include "platform/SelfUsage.h"

// The texts made from a status snapshot: the table and the JSON of
// `ctl status`, and the Prometheus text of /metrics.
class StatusReport {
public:
    // Alert counts for the metrics.
    struct Alerts {
        std::uint64_t sent = 0;
        std::uint64_t failed = 0;
        std::uint64_t suppressed = 0;
        std::uint64_t off = 0;
        std::uint64_t digested = 0;
        // The webhook channels.
        struct Channel {
            std::string name{};
            std::uint64_t sent = 0, failed = 0, retried = 0, refused = 0, digested = 0;
            // The service's words when it last refused a post, and when.
            std::string lastRefusal{};
            std::int64_t lastRefusalTime = 0;
        };
        std::vector<Channel> channels{};
    };

    // One line per server under a header line, then "N of M servers
    // running"; at most 120 columns, wide characters counted as two.
    static std::string table(const StatusSnapshot& snapshot);
    // {"running":N,"total":M,"checks":K,"servers":[{...}, ...]} on one line.
    static std::string json(const StatusSnapshot& snapshot);
    // The Prometheus text exposition format (version 0.0.4).
    static std::string metrics(const StatusSnapshot& snapshot, const Alerts& alerts, const std::string& version);
    // The usual process_* series of the running program itself.
    static std::string processMetrics(const platform::SelfUsage& usage);

    // "running", "starting", "stopping", "stopped", "failing", "backoff".
    static const char* stateName(ServerState state);
    // Local time with its offset, "2026-01-05T09:30:00+01:00"; empty for 0.
    static std::string isoTime(std::int64_t secondsSince1970);
    // A label value as the text format quotes it: \ " and line feed escaped.
    static std::string escapeLabel(const std::string& value);
    // How long a server has run, short: "42s", "5m03s", "3h12m", "2d04h"; "-" for 0.
    static std::string uptimeText(std::int64_t seconds);
    // "N of M servers running".
    // "healthy", "checking", "-", "unhealthy: <what the rule saw>".
    static std::string healthText(const ServerReport& status);
    static std::string runningLine(const StatusSnapshot& snapshot);
    // Columns a UTF-8 text takes on a terminal; the text cut to `columns`
    // with "…" where it takes more.
    static std::size_t displayWidth(const std::string& text);
    static std::string fit(const std::string& text, std::size_t columns);
};
