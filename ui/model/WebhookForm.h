#pragma once
#include <string>
#include <vector>

#include "config/WebhookSettingsData.h"

// The webhook channels of the settings dialog: the list's lines, what the
// channel dialog shows of a channel, and the typed fields turned into one.

// The settings dialog's list and its buttons.
constexpr int kWebhookListId = 1021;
constexpr int kWebhookAddButtonId = 1022;
constexpr int kWebhookEditButtonId = 1023;
constexpr int kWebhookRemoveButtonId = 1024;
// The channel dialog's fields.
constexpr int kWebhookNameEditId = 1030;
constexpr int kWebhookUrlEditId = 1031;
constexpr int kWebhookKindChoiceId = 1032;
constexpr int kWebhookSecretEditId = 1033;
constexpr int kWebhookEventsEditId = 1034;
constexpr int kWebhookMinIntervalEditId = 1035;
constexpr int kWebhookTextCheckId = 1036;
constexpr int kWebhookTimeoutEditId = 1037;

// The kinds in the order the channel dialog's choice lists them.
const std::vector<WebhookKind>& WebhookKindsListed();

// The fields as texts (the kind as its name in the file, "wecom"...).
struct WebhookTexts {
    std::string name;
    std::string url;
    std::string kind;
    std::string secret;
    std::string events;  // empty: every event
    std::string minInterval;
    bool text = false;
    std::string timeout;

    bool operator==(const WebhookTexts&) const = default;
};

// A channel as the fields show it; a new channel is a default one.
WebhookTexts ShowWebhook(const WebhookSettingsData& channel);

struct WebhookCheck {
    std::string message;  // empty when accepted
    int field = 0;        // the field to focus when refused
    WebhookSettingsData channel{};

    bool accepted() const { return message.empty(); }
};

// Checks the fields in order: the name (not empty, only what a section
// name can carry: letters, digits, "-", "_", "." and non-ASCII letters; not
// "mail", which names the alert mail; not the name of another channel,
// ASCII case ignored), the URL (http:// or https:// and a host, no
// blanks), the kind, the secret (only the kinds that sign take one), the
// events (names AlertEventNames knows, "all", or empty for all), the
// minimum interval (0 to 86400 seconds, 0: none) and the time-out (1 to 300
// seconds). `others` are the names of the other channels.
WebhookCheck TakeWebhook(const WebhookTexts& typed, const std::vector<std::string>& others);

// The list's line for a channel: name, kind and the URL without its path
// and query (where the robots keep their tokens).
std::string WebhookLine(const WebhookSettingsData& channel);

extern const char* const kWebhookNameMissingMessage;
extern const char* const kWebhookNameCharactersMessage;
extern const char* const kWebhookNameMailMessage;
extern const char* const kWebhookNameTakenMessage;
extern const char* const kWebhookUrlMessage;
extern const char* const kWebhookKindMessage;
extern const char* const kWebhookSecretUnusedMessage;
extern const char* const kWebhookEventsMessage;
extern const char* const kWebhookMinIntervalMessage;
extern const char* const kWebhookTimeoutMessage;
