#pragma once
#include <cstdint>
#include <string>
#include <vector>

// The kinds of chat robot and receiver a webhook posts to.
enum class WebhookKind { WeCom, DingTalk, Feishu, Slack, Json };

// One [WEBHOOK.<name>] section of procward.ini: where a channel posts its
// alerts and which of them.
struct WebhookSettingsData {
    std::string name;                      // the part of the section name after "WEBHOOK."
    std::string url;                       // URL
    WebhookKind kind = WebhookKind::Json;  // KIND
    std::string secret;                    // SECRET: signs DingTalk and Feishu posts
    // EVENTS: the names of the events it gets (AlertEventNames); empty: all.
    std::vector<std::string> events;
    std::int32_t minInterval = 5;  // MIN_INTERVAL, seconds; 0 or less: none
    bool text = false;             // MSGTYPE=text (WeCom): plain text instead of markdown
    std::int32_t timeout = 10;     // TIMEOUT, seconds per request
    // RATE_PER_MINUTE: posts at most in any minute; 0: no limit; below 0
    // (the key absent): the kind's own limit (DefaultPostBudget).
    std::int32_t ratePerMinute = -1;

    bool operator==(const WebhookSettingsData&) const = default;
};

// How many posts a channel may make within a span of time.
struct PostBudget {
    std::int32_t posts = 0;  // 0: no limit
    std::int64_t windowMs = 60000;

    bool operator==(const PostBudget&) const = default;
};

// What a kind of robot takes, as its vendor documents it: 20 posts a minute
// for the WeCom, DingTalk and Feishu robots, one a second for Slack; no
// limit for the json kind, which posts to a receiver of one's own.
PostBudget DefaultPostBudget(WebhookKind kind);

// The budget of `hook`: its RATE_PER_MINUTE, else its kind's.
PostBudget PostBudgetOf(const WebhookSettingsData& hook);

// "wecom", "dingtalk", "feishu", "slack", "json".
const char* WebhookKindName(WebhookKind kind);
// False when the text (case ignored) names no kind.
bool ParseWebhookKind(const std::string& text, WebhookKind& kind);

// The event names an EVENTS= list may hold, in the order they are listed.
const std::vector<std::string>& AlertEventNames();

// The names of an EVENTS= list ("down, restarted recovered": commas and
// blanks separate), lower-cased; "all" is every name. An unknown name is
// left out and named in `unknown`.
std::vector<std::string> ParseEventList(const std::string& text, std::vector<std::string>& unknown);
