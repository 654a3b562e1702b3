#include "ui/model/HealthForm.h"

#include <cstdio>

#include "config/ServerOptionsReader.h"
#include "platform/Text.h"
#include "ui/model/SettingsForm.h"

const char* const kHealthTargetMissingMessage = "请输入检查地址！";
const char* const kHealthTcpTargetMessage = "TCP检查地址应为 主机:端口（IPv6 为 [地址]:端口）或 listen！";
const char* const kHealthHttpTargetMessage = "HTTP检查地址应为 http:// 开头的网址，如 http://127.0.0.1:8080/health！";
const char* const kHealthIntervalMessage = "检查间隔应为 1 到 86400 之间的整数（秒）！";
const char* const kHealthFailuresMessage = "连续失败次数应为 1 到 1000000 之间的整数！";

namespace {

// The limits the list's reader takes.
constexpr std::int32_t kLongestInterval = 86400;
constexpr std::int32_t kMostFailures = 1000000;

// Seconds as the field shows them: whole ones plainly, a fraction (which
// only the file can give) with as many digits as it needs.
std::string secondsText(std::chrono::milliseconds interval) {
    const long long ms = interval.count();
    if (ms % 1000 == 0) return std::to_string(ms / 1000);
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%03lld", ms / 1000, ms % 1000);
    std::string shown = text;
    while (shown.back() == '0') shown.pop_back();
    return shown;
}

HealthProbe probeOf(HealthFormKind kind) {
    switch (kind) {
        case HealthFormKind::none:
            return HealthProbe::none;
        case HealthFormKind::tcp:
            return HealthProbe::tcp;
        case HealthFormKind::http:
            return HealthProbe::http;
    }
    return HealthProbe::none;
}

// A whole number from 1 to `highest`, blanks around it allowed.
bool wholeNumber(const std::string& text, std::int32_t highest, std::int32_t& value) {
    std::int32_t number = 0;
    if (!ParseInt32(text, number) || number < 1 || number > highest) return false;
    value = number;
    return true;
}

}  // namespace

HealthFormView ShowHealthRule(const std::optional<HealthRule>& rule) {
    HealthFormView view;
    const HealthRule defaults;
    const HealthRule& shown = rule ? *rule : defaults;
    view.texts.interval = secondsText(shown.interval);
    view.texts.failures = std::to_string(shown.failures);
    if (!rule) return view;
    switch (rule->probe) {
        case HealthProbe::none:
            break;
        case HealthProbe::tcp:
            view.texts.kind = HealthFormKind::tcp;
            view.texts.target = rule->target;
            break;
        case HealthProbe::http:
            view.texts.kind = HealthFormKind::http;
            view.texts.target = rule->target;
            break;
        case HealthProbe::exec:
            // A command probe is set in the file only: showing it as "无"
            // would invite an OK that drops it, so nothing can be changed.
            view.editable = false;
            view.texts.target = rule->command;
            view.note = "命令检查(exec)只能在 serverinfo.json 中修改";
            break;
    }
    if (rule->maxMemoryMb > 0) {
        char limit[64];
        std::snprintf(limit, sizeof limit, "%g", rule->maxMemoryMb);
        const std::string memory = std::string("内存上限 ") + limit + " MB 只能在 serverinfo.json 中修改，保存时保留";
        view.note = view.note.empty() ? memory : view.note + "；" + memory;
    }
    return view;
}

HealthFormCheck TakeHealthRule(const HealthFormTexts& typed, const HealthFormView& shown,
                               const std::optional<HealthRule>& rule) {
    HealthFormCheck check;
    // A rule the dialog cannot edit, or fields as they were shown: the
    // file keeps its rule to the byte.
    if (!shown.editable || typed == shown.texts) return check;
    HealthCheckEdit edit;
    edit.probe = probeOf(typed.kind);
    if (edit.probe == HealthProbe::none) {
        // Nothing to remove when there was no tcp or http probe.
        if (shown.texts.kind != HealthFormKind::none) check.edit = edit;
        return check;
    }
    edit.target = platform::trimWhite(typed.target);
    HealthRule probe;
    if (edit.target.empty()) {
        check.message = kHealthTargetMissingMessage;
    } else if (!SetHealthTarget(probe, edit.probe, edit.target).empty()) {
        check.message = edit.probe == HealthProbe::tcp ? kHealthTcpTargetMessage : kHealthHttpTargetMessage;
    }
    if (!check.accepted()) {
        check.field = kHealthTargetEditId;
        return check;
    }
    const HealthRule defaults;
    const HealthRule& before = rule ? *rule : defaults;
    std::int32_t seconds = 0;
    if (typed.interval == shown.texts.interval) {
        edit.interval = before.interval;
    } else if (wholeNumber(typed.interval, kLongestInterval, seconds)) {
        edit.interval = std::chrono::seconds(seconds);
    } else {
        check.message = kHealthIntervalMessage;
        check.field = kHealthIntervalEditId;
        return check;
    }
    if (typed.failures == shown.texts.failures) {
        edit.failures = before.failures;
    } else if (std::int32_t failures = 0; wholeNumber(typed.failures, kMostFailures, failures)) {
        edit.failures = failures;
    } else {
        check.message = kHealthFailuresMessage;
        check.field = kHealthFailuresEditId;
        return check;
    }
    check.edit = edit;
    return check;
}
