#include "ui/model/WebhookForm.h"

#include <algorithm>

#include "platform/Text.h"
#include "ui/model/SettingsForm.h"

const char* const kWebhookNameMissingMessage = "请输入通道名称！";
const char* const kWebhookNameCharactersMessage = "通道名称只能包含字母、数字、汉字和 - _ . ！";
const char* const kWebhookNameMailMessage = "通道名称 mail 已用于告警邮件，请换一个！";
const char* const kWebhookNameTakenMessage = "通道名称已存在！";
const char* const kWebhookUrlMessage = "地址应为 http:// 或 https:// 开头的网址！";
const char* const kWebhookKindMessage = "类型应为 wecom、dingtalk、feishu、slack 或 json！";
const char* const kWebhookSecretUnusedMessage = "企业微信(wecom)和 Slack 不使用密钥，请清空密钥！";
const char* const kWebhookEventsMessage = "未知的告警事件：";
const char* const kWebhookMinIntervalMessage = "最小间隔应为 0 到 86400 之间的整数（秒）！";
const char* const kWebhookTimeoutMessage = "超时应为 1 到 300 之间的整数（秒）！";

namespace {

bool startsWithNoCase(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && platform::equalsNoCase(text.substr(0, prefix.size()), prefix);
}

// The length of the scheme ("http://", "https://"), 0 for neither.
std::size_t schemeLength(const std::string& url) {
    if (startsWithNoCase(url, "https://")) return 8;
    if (startsWithNoCase(url, "http://")) return 7;
    return 0;
}

// A section header ends at "]" and at the line's end, and the reader trims
// blanks; "=" and ";" read as a key and a comment in some editors.
bool sectionNameCharacter(unsigned char c) {
    return c >= 0x80 || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' ||
           c == '_' || c == '.';
}

bool numberIn(const std::string& text, std::int32_t lowest, std::int32_t highest, std::int32_t& value) {
    std::int32_t number = 0;
    if (!ParseInt32(text, number) || number < lowest || number > highest) return false;
    value = number;
    return true;
}

}  // namespace

const std::vector<WebhookKind>& WebhookKindsListed() {
    static const std::vector<WebhookKind> kinds{WebhookKind::WeCom, WebhookKind::DingTalk, WebhookKind::Feishu,
                                                WebhookKind::Slack, WebhookKind::Json};
    return kinds;
}

WebhookTexts ShowWebhook(const WebhookSettingsData& channel) {
    WebhookTexts texts;
    texts.name = channel.name;
    texts.url = channel.url;
    texts.kind = WebhookKindName(channel.kind);
    texts.secret = channel.secret;
    // Every event reads as an empty field, as it is most often written.
    const bool all = channel.events.empty() || channel.events == AlertEventNames();
    for (const std::string& event : all ? std::vector<std::string>() : channel.events)
        texts.events += (texts.events.empty() ? "" : ",") + event;
    texts.minInterval = std::to_string(channel.minInterval);
    texts.text = channel.text;
    texts.timeout = std::to_string(channel.timeout);
    return texts;
}

WebhookCheck TakeWebhook(const WebhookTexts& typed, const std::vector<std::string>& others) {
    WebhookCheck check;
    auto refuse = [&](std::string message, int field) {
        check.message = std::move(message);
        check.field = field;
        return check;
    };
    WebhookSettingsData& channel = check.channel;
    channel.name = platform::trimWhite(typed.name);
    if (channel.name.empty()) return refuse(kWebhookNameMissingMessage, kWebhookNameEditId);
    if (!std::all_of(channel.name.begin(), channel.name.end(),
                     [](char c) { return sectionNameCharacter(static_cast<unsigned char>(c)); }))
        return refuse(kWebhookNameCharactersMessage, kWebhookNameEditId);
    if (platform::equalsNoCase(channel.name, "mail")) return refuse(kWebhookNameMailMessage, kWebhookNameEditId);
    for (const std::string& other : others)
        if (platform::equalsNoCase(channel.name, other)) return refuse(kWebhookNameTakenMessage, kWebhookNameEditId);

    channel.url = platform::trimWhite(typed.url);
    const std::size_t scheme = schemeLength(channel.url);
    const bool blank = std::any_of(channel.url.begin(), channel.url.end(),
                                   [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == 0x7f; });
    if (scheme == 0 || blank || channel.url.size() == scheme || channel.url[scheme] == '/' ||
        channel.url.size() > 2047)
        return refuse(kWebhookUrlMessage, kWebhookUrlEditId);

    if (!ParseWebhookKind(platform::trimWhite(typed.kind), channel.kind))
        return refuse(kWebhookKindMessage, kWebhookKindChoiceId);

    channel.secret = platform::trimWhite(typed.secret);
    if (!channel.secret.empty() && (channel.kind == WebhookKind::WeCom || channel.kind == WebhookKind::Slack))
        return refuse(kWebhookSecretUnusedMessage, kWebhookSecretEditId);

    if (platform::trimWhite(typed.events).empty()) {
        channel.events = AlertEventNames();
    } else {
        std::vector<std::string> unknown;
        channel.events = ParseEventList(typed.events, unknown);
        if (!unknown.empty() || channel.events.empty()) {
            std::string known = "all";
            for (const std::string& name : AlertEventNames()) known += ", " + name;
            std::string named;
            for (const std::string& word : unknown) named += (named.empty() ? "" : ", ") + word;
            return refuse(kWebhookEventsMessage + named + "\n可用的事件：" + known, kWebhookEventsEditId);
        }
    }
    if (!numberIn(typed.minInterval, 0, 86400, channel.minInterval))
        return refuse(kWebhookMinIntervalMessage, kWebhookMinIntervalEditId);
    channel.text = typed.text;
    if (!numberIn(typed.timeout, 1, 300, channel.timeout)) return refuse(kWebhookTimeoutMessage, kWebhookTimeoutEditId);
    return check;
}

std::string WebhookLine(const WebhookSettingsData& channel) {
    const std::size_t scheme = schemeLength(channel.url);
    const std::size_t path = channel.url.find_first_of("/?#", scheme == 0 ? 0 : scheme);
    std::string shown = channel.url.substr(0, path);
    if (path != std::string::npos) shown += "/…";
    return channel.name + "  [" + WebhookKindName(channel.kind) + "]  " + shown;
}
