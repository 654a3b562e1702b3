#include "tests/support/VendorRobot.h"

#include <rapidjson/document.h>

VendorRobot::VendorRobot(WebhookKind kind, bool text, std::function<std::int64_t()> clockMs)
    : kind_(kind), text_(text), clockMs_(std::move(clockMs)) {}

ChatServer::Reply VendorRobot::answer(const ChatServer::Request& request) {
    std::lock_guard lock(mutex_);
    const std::int64_t now = clockMs_();
    const PostBudget budget = DefaultPostBudget(kind_);
    while (!arrivals_.empty() && arrivals_.front() <= now - budget.windowMs) arrivals_.pop_front();
    arrivals_.push_back(now);

    rapidjson::Document body;
    body.Parse(request.body.c_str());
    std::string content;
    std::size_t measured = request.body.size();
    if (!body.HasParseError() && body.IsObject()) {
        const auto text = [&](const char* outer, const char* inner) -> std::string {
            if (!body.HasMember(outer) || !body[outer].IsObject() || !body[outer].HasMember(inner)) return {};
            return body[outer][inner].GetString();
        };
        switch (kind_) {
            case WebhookKind::WeCom:
                content = text_ ? text("text", "content") : text("markdown", "content");
                measured = content.size();
                break;
            case WebhookKind::DingTalk: content = text("markdown", "text"); break;
            case WebhookKind::Feishu: content = text("content", "text"); break;
            case WebhookKind::Slack:
                if (body.HasMember("text")) content = body["text"].GetString();
                measured = content.size();
                break;
            case WebhookKind::Json: break;
        }
    }
    const std::size_t limit = kind_ == WebhookKind::WeCom   ? (text_ ? 2048 : 4096)
                              : kind_ == WebhookKind::Slack ? 40000
                                                            : 20000;

    using Reply = ChatServer::Reply;
    if (budget.posts > 0 && arrivals_.size() > static_cast<std::size_t>(budget.posts)) {
        ++tooFast_;
        switch (kind_) {
            case WebhookKind::DingTalk:
                return Reply{200, R"({"errcode":130101,"errmsg":"send too fast, exceed 20 times per minute"})", {}};
            case WebhookKind::WeCom: return Reply{200, R"({"errcode":45009,"errmsg":"api freq out of limit"})", {}};
            case WebhookKind::Feishu: return Reply{200, R"({"code":11232,"msg":"frequency limited psm"})", {}};
            default: return Reply{429, "rate_limited", {{"Retry-After", "1"}}};
        }
    }
    if (measured > limit) {
        ++tooLong_;
        switch (kind_) {
            case WebhookKind::DingTalk:
                return Reply{200, R"({"errcode":460101,"errmsg":"message too long, exceed 20000 bytes"})", {}};
            case WebhookKind::WeCom: return Reply{200, R"({"errcode":40058,"errmsg":"content exceed max length"})", {}};
            case WebhookKind::Feishu: return Reply{400, R"({"code":9499,"msg":"Bad Request"})", {}};
            default: return Reply{400, "invalid_payload", {}};
        }
    }
    accepted_.push_back(content);
    if (kind_ == WebhookKind::Slack) return Reply{200, "ok", {}};
    if (kind_ == WebhookKind::Feishu) return Reply{200, R"({"code":0,"msg":"success","data":{}})", {}};
    return Reply{};
}

std::vector<std::string> VendorRobot::accepted() const {
    std::lock_guard lock(mutex_);
    return accepted_;
}

int VendorRobot::tooFast() const {
    std::lock_guard lock(mutex_);
    return tooFast_;
}

int VendorRobot::tooLong() const {
    std::lock_guard lock(mutex_);
    return tooLong_;
}
