#include "config/WebhookSettingsData.h"

#include <algorithm>

#include "config/AlertMailSettingsData.h"
#include "platform/Text.h"

const char* WebhookKindName(WebhookKind kind) {
    switch (kind) {
        case WebhookKind::WeCom: return "wecom";
        case WebhookKind::DingTalk: return "dingtalk";
        case WebhookKind::Feishu: return "feishu";
        case WebhookKind::Slack: return "slack";
        case WebhookKind::Json: return "json";
    }
    return "json";
}

PostBudget DefaultPostBudget(WebhookKind kind) {
    switch (kind) {
        case WebhookKind::WeCom:
        case WebhookKind::DingTalk:
        case WebhookKind::Feishu: return {20, 60000};
        case WebhookKind::Slack: return {1, 1000};
        case WebhookKind::Json: return {0, 60000};
    }
    return {};
}

PostBudget PostBudgetOf(const WebhookSettingsData& hook) {
    if (hook.ratePerMinute < 0) return DefaultPostBudget(hook.kind);
    return {hook.ratePerMinute, 60000};
}

bool ParseWebhookKind(const std::string& text, WebhookKind& kind) {
    for (WebhookKind k :
         {WebhookKind::WeCom, WebhookKind::DingTalk, WebhookKind::Feishu, WebhookKind::Slack, WebhookKind::Json}) {
        if (platform::equalsNoCase(text, WebhookKindName(k))) {
            kind = k;
            return true;
        }
    }
    return false;
}

const std::vector<std::string>& AlertEventNames() {
    static const std::vector<std::string> names{"down",          "server-started", "restarted", "start-failed",
                                                "keeps-failing", "recovered",      "unhealthy", "healthy",
                                                "stopped",       "started",        "stopping"};
    return names;
}

std::vector<std::string> ParseEventList(const std::string& text, std::vector<std::string>& unknown) {
    std::vector<std::string> names;
    std::string word;
    auto take = [&] {
        if (word.empty()) return;
        for (char& c : word)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        const auto& known = AlertEventNames();
        if (word == "all") {
            for (const std::string& name : known)
                if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
        } else if (std::find(known.begin(), known.end(), word) != known.end()) {
            if (std::find(names.begin(), names.end(), word) == names.end()) names.push_back(word);
        } else {
            unknown.push_back(word);
        }
        word.clear();
    };
    for (char c : text) {
        if (c == ',' || c == ' ' || c == '\t' || c == ';') {
            take();
        } else {
            word += c;
        }
    }
    take();
    return names;
}

std::vector<std::string> DefaultMailEvents() {
    std::vector<std::string> names;
    for (const std::string& name : AlertEventNames())
        if (name != "started" && name != "stopping" && name != "stopped") names.push_back(name);
    return names;
}
