#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "config/WebhookSettingsData.h"
#include "tests/support/ChatServer.h"

// A chat robot's rules as its vendor documents them, for a ChatServer to
// answer by: its post budget, counted on the test's clock over every
// request it gets; its size limit; and the vendor's own answers to a post
// beyond either (DingTalk 130101 and 460101, WeCom 45009 and 40058, Feishu
// 11232 and 9499, Slack 429 with Retry-After and 400 invalid_payload).
class VendorRobot {
public:
    VendorRobot(WebhookKind kind, bool text, std::function<std::int64_t()> clockMs);

    ChatServer::Reply answer(const ChatServer::Request& request);

    // The texts it took (the content of each post it accepted).
    std::vector<std::string> accepted() const;
    // Posts it refused because they came too fast or were too long.
    int tooFast() const;
    int tooLong() const;

private:
    WebhookKind kind_;
    bool text_;
    std::function<std::int64_t()> clockMs_;
    mutable std::mutex mutex_;
    std::deque<std::int64_t> arrivals_;
    std::vector<std::string> accepted_;
    int tooFast_ = 0;
    int tooLong_ = 0;
};
