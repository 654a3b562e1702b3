#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "alerts/ChannelMessage.h"
#include "config/WebhookSettingsData.h"
#include "platform/HttpClient.h"

// What each kind of webhook is sent and how its answers are read.
class WebhookFormat {
public:
    struct Post {
        std::string url;  // signed where the kind signs in the URL
        std::vector<std::string> headers;
        std::string body;
    };

    // The POST of `message` to `hook`, signed at `nowMs` (milliseconds since
    // 1970) where the hook has a secret:
    //   wecom     {"msgtype":"markdown","markdown":{"content":…}} (MSGTYPE=text:
    //             {"msgtype":"text","text":{"content":…}})
    //   dingtalk  {"msgtype":"markdown","markdown":{"title":…,"text":…}},
    //             signed with `timestamp` and `sign` query parameters
    //   feishu    {"msg_type":"text","content":{"text":…}}, signed with
    //             `timestamp` and `sign` in the body
    //   slack     {"text":…}
    //   json      the event object (see eventObject)
    static Post build(const WebhookSettingsData& hook, const ChannelMessage& message, std::int64_t nowMs);

    // The json kind's object: {"event","server","index","message","reason",
    // "pid","time","host","output"} for an alert; for a digest {"event":
    // "digest","message","time","host","count","events":[…]}; for a test
    // {"event":"test","message","time","host"}. With a secret, the header
    // "X-Procward-Signature: sha256=<Base64 of HMAC-SHA256 of the body>".
    static std::string eventObject(const ChannelMessage& message);

    // Why the service did not take the post, as it says so; empty when it
    // did. A status other than 2xx is a failure, and so is an answer of 200
    // that reports an error: a non-zero `errcode` (wecom, dingtalk), a
    // non-zero `code` (feishu), anything but "ok" (slack).
    static std::string refusal(WebhookKind kind, const platform::HttpResponse& response);

    // The texts never to be logged: the secret, the URL's query values of 6
    // characters or more and its last path segment of 8 or more (the token
    // of most robot URLs), a password in it.
    static std::vector<std::string> secrets(const WebhookSettingsData& hook);
    // The URL as the log shows it.
    static std::string maskedUrl(const WebhookSettingsData& hook);
};
