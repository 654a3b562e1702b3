// The edit dialog's health fields without a window: what they show of the
// rules the list's reader makes, and what typed fields turn into.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "config/ServerOptionsReader.h"
#include "ui/model/HealthForm.h"

namespace {

using namespace std::chrono_literals;

// The rule the reader makes of an entry's "health" object.
std::optional<HealthRule> ruleOf(const std::string& health) {
    rapidjson::Document entry;
    const std::string text = R"({"name":"a","processname":"a","commandline":"a","health":)" + health + "}";
    entry.Parse(text.c_str());
    EXPECT_FALSE(entry.HasParseError()) << health;
    std::vector<std::string> warnings;
    const ServerOptions options = ReadServerOptions(entry, "test", warnings);
    EXPECT_TRUE(warnings.empty()) << health << ": " << (warnings.empty() ? "" : warnings.front());
    return options.health;
}

HealthFormCheck take(const std::optional<HealthRule>& rule, HealthFormTexts typed) {
    return TakeHealthRule(typed, ShowHealthRule(rule), rule);
}

TEST(HealthFormTest, ShowsEachKindOfRule) {
    const HealthFormView none = ShowHealthRule(std::nullopt);
    EXPECT_EQ((HealthFormTexts{HealthFormKind::none, "", "10", "3"}), none.texts);
    EXPECT_TRUE(none.editable);
    EXPECT_EQ("", none.note);

    const HealthFormView tcp = ShowHealthRule(ruleOf(R"({"tcp":"listen","failures":5})"));
    EXPECT_EQ((HealthFormTexts{HealthFormKind::tcp, "listen", "10", "5"}), tcp.texts);
    EXPECT_TRUE(tcp.editable);

    const HealthFormView http = ShowHealthRule(ruleOf(R"({"http":"http://[::1]:81/a?b","interval":2.5})"));
    EXPECT_EQ((HealthFormTexts{HealthFormKind::http, "http://[::1]:81/a?b", "2.5", "3"}), http.texts);

    // A command probe cannot be edited here: shown, disabled, explained.
    const HealthFormView exec = ShowHealthRule(ruleOf(R"({"exec":"/bin/check --quick","interval":30})"));
    EXPECT_FALSE(exec.editable);
    EXPECT_EQ("/bin/check --quick", exec.texts.target);
    EXPECT_EQ("30", exec.texts.interval);
    EXPECT_NE(std::string::npos, exec.note.find("exec")) << exec.note;

    // A memory limit alone: no probe to show, the limit named in the note.
    const HealthFormView memory = ShowHealthRule(ruleOf(R"({"max_memory_mb":512.5})"));
    EXPECT_TRUE(memory.editable);
    EXPECT_EQ(HealthFormKind::none, memory.texts.kind);
    EXPECT_NE(std::string::npos, memory.note.find("512.5 MB")) << memory.note;
}

TEST(HealthFormTest, FieldsLeftAsShownWriteNothing) {
    for (const char* health : {R"({"tcp":"127.0.0.1:80"})", R"({"http":"http://h/x","interval":0.5})",
                               R"({"max_memory_mb":100})", R"({"exec":"/bin/true"})"}) {
        const std::optional<HealthRule> rule = ruleOf(health);
        const HealthFormCheck check = take(rule, ShowHealthRule(rule).texts);
        EXPECT_TRUE(check.accepted()) << health;
        EXPECT_FALSE(check.edit.has_value()) << health;
    }
    // "无" on an entry without a tcp or http probe removes nothing.
    const HealthFormCheck none = take(std::nullopt, {HealthFormKind::none, "typed but unused", "10", "3"});
    EXPECT_TRUE(none.accepted());
    EXPECT_FALSE(none.edit.has_value());
    // A command probe stays whatever the disabled fields hold.
    const HealthFormCheck exec = take(ruleOf(R"({"exec":"/bin/true"})"), {HealthFormKind::tcp, "h:1", "5", "2"});
    EXPECT_TRUE(exec.accepted());
    EXPECT_FALSE(exec.edit.has_value());
}

TEST(HealthFormTest, ChangedFieldsBecomeTheEdit) {
    const HealthFormCheck added = take(std::nullopt, {HealthFormKind::http, "  http://listen/healthz ", " 15", "4"});
    ASSERT_TRUE(added.accepted()) << added.message;
    ASSERT_TRUE(added.edit);
    EXPECT_EQ(HealthProbe::http, added.edit->probe);
    EXPECT_EQ("http://listen/healthz", added.edit->target);
    EXPECT_EQ(15s, added.edit->interval);
    EXPECT_EQ(4, added.edit->failures);

    // An interval the file gives in fractions stays when only the address
    // changes.
    const std::optional<HealthRule> fractional = ruleOf(R"({"tcp":"h:1","interval":2.5,"failures":7})");
    const HealthFormCheck moved = take(fractional, {HealthFormKind::tcp, "[::1]:9000", "2.5", "7"});
    ASSERT_TRUE(moved.edit);
    EXPECT_EQ(2500ms, moved.edit->interval);
    EXPECT_EQ(7, moved.edit->failures);
    EXPECT_EQ("[::1]:9000", moved.edit->target);

    // "无" on a tcp or http rule removes the probe.
    const HealthFormCheck removed = take(fractional, {HealthFormKind::none, "h:1", "2.5", "7"});
    ASSERT_TRUE(removed.edit);
    EXPECT_EQ(HealthProbe::none, removed.edit->probe);
}

TEST(HealthFormTest, BadFieldsAreRefusedWithTheirMessageAndField) {
    struct Case {
        HealthFormTexts typed;
        const char* message;
        int field;
    };
    const Case cases[] = {
        {{HealthFormKind::tcp, "  ", "10", "3"}, kHealthTargetMissingMessage, kHealthTargetEditId},
        {{HealthFormKind::tcp, "127.0.0.1", "10", "3"}, kHealthTcpTargetMessage, kHealthTargetEditId},
        {{HealthFormKind::tcp, "127.0.0.1:70000", "10", "3"}, kHealthTcpTargetMessage, kHealthTargetEditId},
        {{HealthFormKind::tcp, "http://h:1/", "10", "3"}, kHealthTcpTargetMessage, kHealthTargetEditId},
        {{HealthFormKind::http, "https://h/", "10", "3"}, kHealthHttpTargetMessage, kHealthTargetEditId},
        {{HealthFormKind::http, "h:80/x", "10", "3"}, kHealthHttpTargetMessage, kHealthTargetEditId},
        {{HealthFormKind::http, "http://h/", "0", "3"}, kHealthIntervalMessage, kHealthIntervalEditId},
        {{HealthFormKind::http, "http://h/", "86401", "3"}, kHealthIntervalMessage, kHealthIntervalEditId},
        {{HealthFormKind::http, "http://h/", "1.5", "3"}, kHealthIntervalMessage, kHealthIntervalEditId},
        {{HealthFormKind::http, "http://h/", "", "3"}, kHealthIntervalMessage, kHealthIntervalEditId},
        {{HealthFormKind::http, "http://h/", "10", "0"}, kHealthFailuresMessage, kHealthFailuresEditId},
        {{HealthFormKind::http, "http://h/", "10", "1000001"}, kHealthFailuresMessage, kHealthFailuresEditId},
        {{HealthFormKind::http, "http://h/", "10", "-2"}, kHealthFailuresMessage, kHealthFailuresEditId},
    };
    for (const Case& c : cases) {
        const HealthFormCheck check = take(std::nullopt, c.typed);
        EXPECT_EQ(c.message, check.message) << c.typed.target << " " << c.typed.interval << " " << c.typed.failures;
        EXPECT_EQ(c.field, check.field) << c.typed.target;
        EXPECT_FALSE(check.edit.has_value());
    }
    // The limits themselves pass.
    const HealthFormCheck widest = take(std::nullopt, {HealthFormKind::tcp, "listen", "86400", "1000000"});
    ASSERT_TRUE(widest.accepted()) << widest.message;
    EXPECT_EQ(86400s, widest.edit->interval);
}

}  // namespace
