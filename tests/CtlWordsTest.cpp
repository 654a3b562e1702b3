// How ctl reads its words: options anywhere before "--", names after it.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "app/core/CtlCommand.h"

namespace {

struct Request {
    bool ok = false;
    std::string error;
    std::string command, name;
    bool all = false, json = false;
};

Request request(const std::vector<std::string>& args) {
    Request r;
    std::string line;
    r.ok = CtlRequestLine(args, line, r.error);
    if (!r.ok) return r;
    rapidjson::Document d;
    d.Parse(line.c_str());
    EXPECT_TRUE(d.IsObject()) << line;
    r.command = d["command"].GetString();
    if (d.HasMember("name")) r.name = d["name"].GetString();
    r.all = d.HasMember("all") && d["all"].GetBool();
    r.json = d.HasMember("json") && d["json"].GetBool();
    return r;
}

TEST(CtlWordsTest, DoubleDashEndsTheOptionsSoThatAnyNameCanBeGiven) {
    Request r = request({"stop", "--", "--all"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ("stop", r.command);
    EXPECT_EQ("--all", r.name);
    EXPECT_FALSE(r.all);

    r = request({"stop", "--all"});
    ASSERT_TRUE(r.ok);
    EXPECT_TRUE(r.all);
    EXPECT_EQ("", r.name);

    r = request({"--", "start", "-x"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ("-x", r.name);
    // Without it a word that looks like an option is refused, not taken as a name.
    r = request({"start", "-x"});
    EXPECT_FALSE(r.ok);
    EXPECT_NE(std::string::npos, r.error.find("unknown option \"-x\"")) << r.error;
    // A lone "-" is a name.
    EXPECT_EQ("-", request({"kill", "-"}).name);
}

TEST(CtlWordsTest, StopNowIsKillAndBothTakeOneName) {
    Request r = request({"stop", "--now", "web"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ("kill", r.command);
    EXPECT_EQ("web", r.name);
    r = request({"stop", "web", "--now"});
    EXPECT_EQ("kill", r.command);
    EXPECT_EQ("kill", request({"kill", "web"}).command);
    EXPECT_FALSE(request({"kill", "--all"}).ok);
    EXPECT_FALSE(request({"stop", "--all", "--now"}).ok);
    EXPECT_FALSE(request({"start", "--now", "web"}).ok);
    EXPECT_FALSE(request({"kill"}).ok);
    EXPECT_FALSE(request({"kill", "a", "b"}).ok);
}

TEST(CtlWordsTest, TheTimeoutIsReadWhereverItStandsBeforeTheNames) {
    CtlWords words;
    std::string error;
    ASSERT_TRUE(ParseCtlWords({"--timeout", "2.5", "status"}, words, error)) << error;
    EXPECT_EQ(2500, words.timeoutMs);
    ASSERT_TRUE(ParseCtlWords({"status", "--timeout=3", "--json"}, words, error)) << error;
    EXPECT_EQ(3000, words.timeoutMs);
    EXPECT_TRUE(words.json);
    ASSERT_TRUE(ParseCtlWords({"status"}, words, error));
    EXPECT_EQ(10000, words.timeoutMs);
    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{{"--timeout", "0", "status"},
                                                                                     {"--timeout", "-1", "status"},
                                                                                     {"--timeout", "soon", "status"},
                                                                                     {"status", "--timeout"},
                                                                                     {"--timeout=", "status"},
                                                                                     {"--timeout", "86401", "status"}})
        EXPECT_FALSE(ParseCtlWords(bad, words, error)) << bad[0] << " " << bad[1];
    // After "--" it is a name like any other.
    ASSERT_TRUE(ParseCtlWords({"stop", "--", "--timeout"}, words, error));
    EXPECT_EQ(10000, words.timeoutMs);
    EXPECT_EQ((std::vector<std::string>{"stop", "--timeout"}), words.words);
}

TEST(CtlWordsTest, CheckTakesTheNameOfOneServer) {
    Request r = request({"check", "web 1"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ("check", r.command);
    EXPECT_EQ("web 1", r.name);
    EXPECT_EQ("check needs the name of a server", request({"check"}).error);
    EXPECT_FALSE(request({"check", "a", "b"}).ok);
    EXPECT_FALSE(request({"check", "--all"}).ok);
    EXPECT_FALSE(request({"check", "--json", "web"}).ok);
}

TEST(CtlWordsTest, ReloadAndShutdownTakeNothing) {
    EXPECT_EQ("reload", request({"reload"}).command);
    EXPECT_EQ("shutdown", request({"shutdown"}).command);
    EXPECT_FALSE(request({"reload", "web"}).ok);
    EXPECT_FALSE(request({"shutdown", "--all"}).ok);
    EXPECT_FALSE(request({"restart", "--all"}).ok);
    EXPECT_TRUE(request({"status", "--json"}).json);
    EXPECT_FALSE(request({"status", "--all"}).ok);
}

TEST(CtlWordsTest, BackupsTakesNothingAndRestoreTheNumberOfOneCopy) {
    EXPECT_EQ("backups", request({"backups"}).command);
    EXPECT_FALSE(request({"backups", "1"}).ok);
    EXPECT_FALSE(request({"backups", "--all"}).ok);
    std::string line, error;
    ASSERT_TRUE(CtlRequestLine({"restore", "3"}, line, error)) << error;
    EXPECT_EQ(R"({"command":"restore","generation":3})", line);
    ASSERT_TRUE(CtlRequestLine({"--timeout", "5", "restore", "--", "12"}, line, error)) << error;
    EXPECT_EQ(R"({"command":"restore","generation":12})", line);
    for (const std::vector<std::string>& wrong : {std::vector<std::string>{"restore"},
                                                  {"restore", "0"},
                                                  {"restore", "x"},
                                                  {"restore", "1", "2"},
                                                  {"restore", "1.5"},
                                                  {"restore", "--all"},
                                                  {"restore", "99999999"},
                                                  {"restore", "2", "--json"}}) {
        const Request r = request(wrong);
        EXPECT_FALSE(r.ok) << wrong.size() << " " << wrong.back();
        EXPECT_EQ(0u, r.error.find("restore ")) << r.error;
    }
}

}  // namespace
