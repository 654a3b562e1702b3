#include "config/ServerOptionsReader.h"

#include <algorithm>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <regex>

namespace {

using rapidjson::Value;

constexpr double kMaxIntervalSeconds = 86400;  // a day
constexpr double kMaxTimeoutSeconds = 3600;
constexpr double kMaxMemoryMb = 1e9;  // a petabyte: a larger limit is a typing error
constexpr int kMaxCount = 1000000;

std::string quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

std::string stringOf(const Value& value) { return std::string(value.GetString(), value.GetStringLength()); }

// The first member called `key`, as every key of the list is read.
const Value* memberOf(const Value& object, const char* key) {
    const auto found = object.FindMember(key);
    return found == object.MemberEnd() ? nullptr : &found->value;
}

bool asciiLetterEqual(char a, char b) {
    auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    return fold(a) == fold(b);
}

bool startsWithNoCase(std::string_view text, std::string_view start) {
    if (text.size() < start.size()) return false;
    for (std::size_t i = 0; i < start.size(); ++i)
        if (!asciiLetterEqual(text[i], start[i])) return false;
    return true;
}

bool parsePort(std::string_view text, std::uint16_t& port) {
    unsigned value = 0;
    if (text.empty() || text.size() > 5) return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535) return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

bool plainHostCharacter(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u > 0x20 && u != 0x7F && c != '/' && c != '@' && c != '[' && c != ']' && c != ':' && c != '?' && c != '#';
}

bool ipv6Character(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' || c == '.';
}

// "host:port", "[v6]:port", and without the port when `portOptional`.
// The host keeps IPv6 addresses without their brackets.
bool parseHostPort(std::string_view text, bool portOptional, std::string& host, std::uint16_t& port) {
    std::string_view rest;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string_view::npos || close == 1) return false;
        const std::string_view address = text.substr(1, close - 1);
        for (char c : address)
            if (!ipv6Character(c)) return false;
        if (address.find(':') == std::string_view::npos) return false;
        host.assign(address);
        rest = text.substr(close + 1);
    } else {
        const auto colon = text.find(':');
        host.assign(text.substr(0, colon));
        if (host.empty()) return false;
        for (char c : host)
            if (!plainHostCharacter(c)) return false;
        rest = colon == std::string_view::npos ? std::string_view() : text.substr(colon);
    }
    port = 0;
    if (rest.empty()) return portOptional;
    return rest.front() == ':' && parsePort(rest.substr(1), port);
}

bool printableWithoutBlanks(std::string_view text) {
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7F) return false;
    }
    return true;
}

// Status codes "200-399", "200" or the number 200.
bool parseExpect(const Value& value, int& low, int& high) {
    auto valid = [](int code) { return code >= 100 && code <= 599; };
    if (value.IsInt()) {
        low = high = value.GetInt();
        return valid(low);
    }
    if (!value.IsString()) return false;
    const std::string text = stringOf(value);
    const char* begin = text.data();
    const char* end = begin + text.size();
    const auto first = std::from_chars(begin, end, low);
    if (first.ec != std::errc()) return false;
    if (first.ptr == end) {
        high = low;
    } else {
        if (*first.ptr != '-') return false;
        const auto second = std::from_chars(first.ptr + 1, end, high);
        if (second.ec != std::errc() || second.ptr != end) return false;
    }
    return valid(low) && valid(high) && low <= high;
}

bool holdsZeroByte(const Value& value) { return stringOf(value).find('\0') != std::string::npos; }

// Warnings about the keys of one object: of the entry itself, or of its
// "health" object (`within`).
class KeyReader {
public:
    KeyReader(const Value& object, const std::string& label, std::string within, std::vector<std::string>& warnings)
        : object_(object), label_(label), within_(std::move(within)), warnings_(warnings) {}

    const Value* find(const char* key) const { return memberOf(object_, key); }

    void warn(std::string_view key, const std::string& problem) const {
        warnings_.push_back(label_ + ": " + quoted(key) + within_ + " " + problem + "; ignored");
    }

    // A string without zero bytes (which no system call could take).
    void string(const char* key, std::string& out) const {
        const Value* value = find(key);
        if (!value) return;
        if (!value->IsString() || holdsZeroByte(*value))
            warn(key, "must be a text");
        else
            out = stringOf(*value);
    }

    void boolean(const char* key, bool& out) const {
        const Value* value = find(key);
        if (!value) return;
        if (!value->IsBool())
            warn(key, "must be true or false");
        else
            out = value->GetBool();
    }

    // Seconds, fractions allowed, kept to the millisecond; true when taken.
    bool seconds(const char* key, bool zeroAllowed, double max, std::chrono::milliseconds& out) const {
        const Value* value = find(key);
        if (!value) return false;
        const double s = value->IsNumber() ? value->GetDouble() : -1;
        const long long ms = std::isfinite(s) ? std::llround(s * 1000) : -1;
        const bool fits = value->IsNumber() && s >= 0 && s <= max && (zeroAllowed || ms >= 1);
        if (!fits) {
            warn(key, std::string("must be a number of seconds ") + (zeroAllowed ? "from 0" : "above 0") +
                          " up to " + std::to_string(static_cast<long long>(max)));
            return false;
        }
        out = std::chrono::milliseconds(ms);
        return true;
    }

    void count(const char* key, int& out) const {
        const Value* value = find(key);
        if (!value) return;
        const double n = value->IsNumber() ? value->GetDouble() : 0;
        if (!value->IsNumber() || n < 1 || n > kMaxCount || std::floor(n) != n) {
            warn(key, "must be a whole number from 1 to " + std::to_string(kMaxCount));
            return;
        }
        out = static_cast<int>(n);
    }

private:
    const Value& object_;
    const std::string& label_;
    std::string within_;
    std::vector<std::string>& warnings_;
};

void readEnvironment(const KeyReader& entry, ServerOptions& options, const std::string& label,
                     std::vector<std::string>& warnings) {
    const Value* env = entry.find("env");
    if (!env) return;
    if (!env->IsObject()) {
        entry.warn("env", "must be an object of variables and their texts");
        return;
    }
    const KeyReader variables(*env, label, " of \"env\"", warnings);
    for (auto m = env->MemberBegin(); m != env->MemberEnd(); ++m) {
        const std::string name = stringOf(m->name);
        bool seen = false;
        for (const auto& [known, value] : options.env) seen = seen || known == name;
        if (seen) continue;  // the first of duplicate keys counts, as everywhere in the list
        if (name.empty() || name.find('=') != std::string::npos || name.find('\0') != std::string::npos) {
            variables.warn(name, "is not a variable name");
        } else if (!m->value.IsString() || holdsZeroByte(m->value)) {
            variables.warn(name, "must be a text");
        } else {
            options.env.emplace_back(name, stringOf(m->value));
        }
    }
}

std::optional<HealthRule> readHealth(const KeyReader& entry, const std::string& label,
                                     std::vector<std::string>& warnings) {
    const Value* object = entry.find("health");
    if (!object) return std::nullopt;
    if (!object->IsObject()) {
        entry.warn("health", "must be an object");
        return std::nullopt;
    }
    const KeyReader health(*object, label, " of \"health\"", warnings);
    HealthRule rule;

    const char* const probeKeys[] = {"tcp", "http", "exec"};
    const char* probeKey = nullptr;
    for (const char* key : probeKeys) {
        if (!health.find(key)) continue;
        if (probeKey) {
            entry.warn("health", "has more than one of \"tcp\", \"http\" and \"exec\"");
            return std::nullopt;
        }
        probeKey = key;
    }
    if (probeKey) {
        const Value& probe = *health.find(probeKey);
        const std::string key = probeKey;
        if (!probe.IsString() || holdsZeroByte(probe)) {
            health.warn(key, "must be a text");
        } else if (key == "exec") {
            rule.target = stringOf(probe);
            rule.command = rule.target;
            if (rule.command.find_first_not_of(" \t") == std::string::npos)
                health.warn(key, "must be a command line");
            else
                rule.probe = HealthProbe::exec;
        } else {
            const std::string why =
                SetHealthTarget(rule, key == "tcp" ? HealthProbe::tcp : HealthProbe::http, stringOf(probe));
            if (!why.empty()) health.warn(key, why);
        }
    }
    if (rule.probe == HealthProbe::http) {
        if (const Value* expect = health.find("expect"); expect && !parseExpect(*expect, rule.expectLow, rule.expectHigh)) {
            rule.expectLow = 200;
            rule.expectHigh = 399;
            health.warn("expect", "must be a status code or a range of them such as \"200-399\"");
        }
        health.string("body_contains", rule.bodyContains);
    }
    health.seconds("interval", false, kMaxIntervalSeconds, rule.interval);
    health.seconds("timeout", false, kMaxTimeoutSeconds, rule.timeout);
    health.seconds("grace", true, kMaxIntervalSeconds, rule.grace);
    health.count("failures", rule.failures);
    health.count("memory_checks", rule.memoryChecks);
    if (const Value* limit = health.find("max_memory_mb")) {
        const double mb = limit->IsNumber() ? limit->GetDouble() : -1;
        if (!limit->IsNumber() || !(mb >= 0 && mb <= kMaxMemoryMb))
            health.warn("max_memory_mb", "must be a number of megabytes from 0 (no limit)");
        else
            rule.maxMemoryMb = mb;
    }
    if (const Value* action = health.find("on_failure")) {
        const std::string text = action->IsString() ? stringOf(*action) : std::string();
        if (text == "restart")
            rule.onFailure = HealthAction::restart;
        else if (text == "alert")
            rule.onFailure = HealthAction::alert;
        else
            health.warn("on_failure", "must be \"restart\" or \"alert\"");
    }

    if (rule.probe == HealthProbe::none && rule.maxMemoryMb <= 0) {
        // A probe that was there but wrong has had its own warning.
        if (!probeKey) entry.warn("health", "has no probe (\"tcp\", \"http\" or \"exec\") and no \"max_memory_mb\"");
        return std::nullopt;
    }
    return rule;
}

}  // namespace

std::string SetHealthTarget(HealthRule& rule, HealthProbe probe, std::string_view target) {
    std::string host;
    std::uint16_t port = 0;
    if (probe == HealthProbe::tcp) {
        if (target == "listen") {
            rule.useListenAddress = true;
            rule.host.clear();
            rule.port = 0;
        } else if (parseHostPort(target, false, host, port)) {
            rule.useListenAddress = false;
            rule.host = host;
            rule.port = port;
        } else {
            return "must be \"host:port\", \"[IPv6 address]:port\" or \"listen\"";
        }
        rule.probe = HealthProbe::tcp;
        rule.target.assign(target);
        return {};
    }
    if (probe != HealthProbe::http) return "is not a tcp or http probe";

    static constexpr std::string_view kScheme = "http://";
    const char* const kUrlForm = "must be a URL \"http://host[:port]/path\" (host \"listen\" allowed)";
    if (!startsWithNoCase(target, kScheme)) return kUrlForm;
    std::string_view rest = target.substr(kScheme.size());
    const auto fragment = rest.find('#');
    if (fragment != std::string_view::npos) rest = rest.substr(0, fragment);
    const auto pathStart = rest.find_first_of("/?");
    const std::string_view authority = rest.substr(0, pathStart);
    std::string path = pathStart == std::string_view::npos ? "/" : std::string(rest.substr(pathStart));
    if (path.front() == '?') path.insert(path.begin(), '/');
    if (!printableWithoutBlanks(path) || !parseHostPort(authority, true, host, port)) return kUrlForm;

    rule.useListenAddress = host == "listen";
    rule.host = rule.useListenAddress ? std::string() : host;
    rule.port = (port == 0 && !rule.useListenAddress) ? 80 : port;
    rule.path = path;
    rule.probe = HealthProbe::http;
    rule.target.assign(target);
    return {};
}

bool IsServerEntryKey(std::string_view key) {
    static constexpr std::string_view kKeys[] = {"name",   "processname", "commandline",  "cwd",        "env",
                                                 "user",   "group",       "pidfile",      "kill_group", "output",
                                                 "health", "stop_signal", "stop_timeout", "match",      "listen"};
    return std::find(std::begin(kKeys), std::end(kKeys), key) != std::end(kKeys);
}

ServerOptions ReadServerOptions(const Value& entry, const std::string& label, std::vector<std::string>& warnings) {
    ServerOptions options;
    const KeyReader keys(entry, label, "", warnings);
    keys.string("cwd", options.cwd);
    readEnvironment(keys, options, label, warnings);
    keys.string("user", options.user);
    keys.string("group", options.group);
    keys.string("pidfile", options.pidfile);
    keys.boolean("kill_group", options.killGroup);
    if (const Value* output = keys.find("output")) {
        const std::string text = output->IsString() ? stringOf(*output) : std::string();
        if (text == "file")
            options.output = ServerOutput::file;
        else if (text == "discard")
            options.output = ServerOutput::discard;
        else
            keys.warn("output", "must be \"file\" or \"discard\"");
    }
    options.health = readHealth(keys, label, warnings);
    if (const Value* stop = keys.find("stop_signal")) {
        platform::StopSignal kind = platform::StopSignal::Graceful;
        if (!stop->IsString() || !platform::stopSignalOf(stringOf(*stop), kind))
            keys.warn("stop_signal", "must be one of TERM, INT, QUIT, HUP, USR1, USR2 and KILL");
        else
            options.stopSignal = kind;
    }
    if (std::chrono::milliseconds timeout{0}; keys.seconds("stop_timeout", true, kMaxTimeoutSeconds, timeout))
        options.stopTimeout = timeout;
    keys.string("match", options.match);
    if (!options.match.empty()) {
        try {
            const std::regex compiled(options.match, std::regex::ECMAScript);
        } catch (const std::regex_error&) {
            keys.warn("match", "is not a regular expression");
            options.match.clear();
        }
    }
    keys.string("listen", options.listen);
    if (!options.listen.empty()) {
        std::string host;
        std::uint16_t port = 0;
        if (!parseHostPort(options.listen, false, host, port)) {
            keys.warn("listen", "must be \"host:port\" or \"[IPv6 address]:port\"");
            options.listen.clear();
        }
    }
    return options;
}
