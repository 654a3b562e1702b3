#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "alerts/ChannelMessage.h"
#include "alerts/PostOutcome.h"
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
    // 1970) where the hook has a secret, cut to the size the robot takes
    // (sizeLimit; see MessageFit):
    //   wecom     {"msgtype":"markdown","markdown":{"content":…}} (MSGTYPE=text:
    //             {"msgtype":"text","text":{"content":…}})
    //   dingtalk  {"msgtype":"markdown","markdown":{"title":…,"text":…}},
    //             signed with `timestamp` and `sign` query parameters
    //   feishu    {"msg_type":"text","content":{"text":…}}, signed with
    //             `timestamp` and `sign` in the body
    //   slack     {"text":…}
    //   json      the event object (see eventObject)
    static Post build(const WebhookSettingsData& hook, const ChannelMessage& message, std::int64_t nowMs);

    // The most bytes a robot of the hook's kind takes, as its vendor
    // documents it: WeCom text 2048 and markdown 4096 (the content),
    // DingTalk 20000 and Feishu 20000 (the body), Slack 40000 (the text);
    // 0 for the json kind, which has no limit.
    static std::size_t sizeLimit(const WebhookSettingsData& hook);
    // Whether `message` goes to `hook` whole, without a cut.
    static bool fits(const WebhookSettingsData& hook, const ChannelMessage& message);

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

    // What the answer means for the post: delivered; refused for good (a
    // signature, keyword, size, format or URL error, any other 4xx); or
    // to be tried again (no answer, 408, 429, 5xx, a 2xx that is not the
    // robot's JSON, a vendor's "busy" or rate-limit code: DingTalk 130101,
    // 410100 and 90030, WeCom 45009 and 45033, Feishu 11232 and 99991400,
    // -1), honouring Retry-After (seconds or an HTTP date) or Feishu's
    // x-ogw-ratelimit-reset. `nowMs` is the time of the answer.
    static PostOutcome judge(WebhookKind kind, const platform::HttpResponse& response, std::int64_t nowMs);

    // The texts never to be logged: the secret, the URL's query values of 6
    // characters or more and its last path segment of 8 or more (the token
    // of most robot URLs), a password in it.
    static std::vector<std::string> secrets(const WebhookSettingsData& hook);
    // The URL as the log shows it.
    static std::string maskedUrl(const WebhookSettingsData& hook);
};
