// The settings dialog's webhook channels without a window: the fields'
// checks and their round trip through the settings file.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "config/SettingsFile.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestServer.h"
#include "ui/model/WebhookForm.h"

namespace {

WebhookTexts typed(std::string name, std::string url, std::string kind = "json") {
    WebhookTexts texts = ShowWebhook(WebhookSettingsData{});
    texts.name = std::move(name);
    texts.url = std::move(url);
    texts.kind = std::move(kind);
    return texts;
}

TEST(WebhookFormTest, BadFieldsAreRefusedWithTheirMessageAndField) {
    struct Case {
        WebhookTexts texts;
        const char* message;
        int field;
    };
    auto with = [](WebhookTexts texts, auto change) {
        change(texts);
        return texts;
    };
    const Case cases[] = {
        {typed(" ", "https://h/"), kWebhookNameMissingMessage, kWebhookNameEditId},
        {typed("a]b", "https://h/"), kWebhookNameCharactersMessage, kWebhookNameEditId},
        {typed("a b", "https://h/"), kWebhookNameCharactersMessage, kWebhookNameEditId},
        {typed("a=b", "https://h/"), kWebhookNameCharactersMessage, kWebhookNameEditId},
        {typed("MAIL", "https://h/"), kWebhookNameMailMessage, kWebhookNameEditId},
        {typed("Ops", "https://h/"), kWebhookNameTakenMessage, kWebhookNameEditId},
        {typed("new", ""), kWebhookUrlMessage, kWebhookUrlEditId},
        {typed("new", "ftp://h/"), kWebhookUrlMessage, kWebhookUrlEditId},
        {typed("new", "https://"), kWebhookUrlMessage, kWebhookUrlEditId},
        {typed("new", "https:///path"), kWebhookUrlMessage, kWebhookUrlEditId},
        {typed("new", "https://h/a b"), kWebhookUrlMessage, kWebhookUrlEditId},
        {typed("new", "https://h/", "teams"), kWebhookKindMessage, kWebhookKindChoiceId},
        {with(typed("new", "https://h/", "slack"), [](WebhookTexts& t) { t.secret = "s"; }),
         kWebhookSecretUnusedMessage, kWebhookSecretEditId},
        {with(typed("new", "https://h/"), [](WebhookTexts& t) { t.minInterval = "-1"; }), kWebhookMinIntervalMessage,
         kWebhookMinIntervalEditId},
        {with(typed("new", "https://h/"), [](WebhookTexts& t) { t.minInterval = "86401"; }),
         kWebhookMinIntervalMessage, kWebhookMinIntervalEditId},
        {with(typed("new", "https://h/"), [](WebhookTexts& t) { t.timeout = "0"; }), kWebhookTimeoutMessage,
         kWebhookTimeoutEditId},
        {with(typed("new", "https://h/"), [](WebhookTexts& t) { t.timeout = "301"; }), kWebhookTimeoutMessage,
         kWebhookTimeoutEditId},
    };
    for (const Case& c : cases) {
        const WebhookCheck check = TakeWebhook(c.texts, {"ops", "dev"});
        EXPECT_EQ(c.message, check.message) << c.texts.name << " " << c.texts.url;
        EXPECT_EQ(c.field, check.field) << c.texts.name << " " << c.texts.url;
    }
    WebhookTexts events = typed("new", "https://h/");
    events.events = "down, reboot";
    const WebhookCheck unknown = TakeWebhook(events, {});
    EXPECT_EQ(kWebhookEventsEditId, unknown.field);
    EXPECT_EQ(0u, unknown.message.find(kWebhookEventsMessage + std::string("reboot"))) << unknown.message;
}

TEST(WebhookFormTest, GoodFieldsMakeTheChannelTheReaderWouldRead) {
    WebhookTexts texts = typed(" 值班-1 ", " HTTPS://h:8443/r?x=1 ", "dingtalk");
    texts.secret = "SEC";
    texts.events = "Restarted down";
    texts.minInterval = "0";
    texts.timeout = "300";
    texts.text = true;
    const WebhookCheck check = TakeWebhook(texts, {"ops"});
    ASSERT_TRUE(check.accepted()) << check.message;
    EXPECT_EQ("值班-1", check.channel.name);
    EXPECT_EQ("HTTPS://h:8443/r?x=1", check.channel.url);
    EXPECT_EQ(WebhookKind::DingTalk, check.channel.kind);
    EXPECT_EQ((std::vector<std::string>{"restarted", "down"}), check.channel.events);
    EXPECT_EQ(0, check.channel.minInterval);
    EXPECT_EQ(300, check.channel.timeout);
    EXPECT_TRUE(check.channel.text);
    // A channel shown and taken back unchanged is the same channel.
    const WebhookCheck again = TakeWebhook(ShowWebhook(check.channel), {"ops"});
    ASSERT_TRUE(again.accepted()) << again.message;
    EXPECT_EQ(check.channel, again.channel);
    // Every event shows as an empty field.
    WebhookSettingsData all = check.channel;
    all.events = AlertEventNames();
    EXPECT_EQ("", ShowWebhook(all).events);
}

TEST(WebhookFormTest, SavedChannelsReadBackAndUntouchedOnesKeepTheirLines) {
    TempDir dir;
    const std::string path = dir.file("procward.ini");
    writeFile(path, "[WEBHOOK.keep]\nurl = https://k/\nKIND=slack\nEXTRA=1\n"
                    "[webhook.Gone]\nURL=https://g/\nKIND=json\n[WEBHOOK.off]\nKIND=json\n");
    ::chmod(path.c_str(), 0644);
    std::vector<std::string> warnings;
    Settings settings = LoadSettings(path, warnings);
    ASSERT_EQ(2u, settings.webhooks.size());
    settings.webhooks.erase(settings.webhooks.begin() + 1);
    WebhookTexts texts = typed("added", "https://a/hook", "feishu");
    texts.secret = "s";
    texts.events = "all";
    const WebhookCheck added = TakeWebhook(texts, {"keep"});
    ASSERT_TRUE(added.accepted()) << added.message;
    settings.webhooks.push_back(added.channel);
    std::string error;
    ASSERT_TRUE(SaveSettings(path, settings, error)) << error;

    const std::string file = readFile(path);
    // The untouched channel keeps its lines as written; the section that
    // is no channel stays; the one removed has gone.
    EXPECT_NE(std::string::npos, file.find("[WEBHOOK.keep]\nurl = https://k/\nKIND=slack\nEXTRA=1\n"))
        << file;
    EXPECT_NE(std::string::npos, file.find("[WEBHOOK.off]\nKIND=json\n")) << file;
    EXPECT_EQ(std::string::npos, file.find("Gone")) << file;
    // A new channel with every event writes no EVENTS line.
    EXPECT_NE(std::string::npos, file.find("[WEBHOOK.added]\nURL=https://a/hook\nKIND=feishu\nSECRET=s\n")) << file;
    EXPECT_EQ(std::string::npos, file.find("EVENTS")) << file;
    struct stat st {};
    ASSERT_EQ(0, ::stat(path.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    warnings.clear();
    EXPECT_EQ(settings.webhooks, LoadSettings(path, warnings).webhooks);

    // Narrowed to some events, then back to all: "all" is written.
    settings.webhooks[1].events = {"down"};
    ASSERT_TRUE(SaveSettings(path, settings, error)) << error;
    EXPECT_NE(std::string::npos, readFile(path).find("EVENTS=down\n"));
    settings.webhooks[1].events = AlertEventNames();
    ASSERT_TRUE(SaveSettings(path, settings, error)) << error;
    EXPECT_NE(std::string::npos, readFile(path).find("EVENTS=all\n"));
    warnings.clear();
    EXPECT_EQ(settings.webhooks, LoadSettings(path, warnings).webhooks);
}

}  // namespace
