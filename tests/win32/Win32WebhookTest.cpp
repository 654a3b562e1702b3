// Webhook alert channels on Windows, end to end: procwardd.exe posts
// through WinHTTP to a real HTTP(S) receiver that the test runner starts on
// 127.0.0.1 (tests/win32/support/webhook_receiver.py), which keeps each
// request as it came. Signatures are recomputed here with the system's own
// cryptography (BCrypt), not with the library the program signs with.
#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <rapidjson/document.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"
#include "tests/win32/support/WinDaemon.h"
#include "tests/win32/support/WinSmtpMessages.h"
#include "tests/win32/support/WinTestServer.h"
#include "tests/win32/support/WinTestText.h"

namespace {

std::string utf8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

struct Received {
    std::string path;
    std::map<std::string, std::string> query, headers;
    std::string body;  // the bytes as they came
    double time = 0;   // when it came, in seconds
};

// The requests the receiver in `outdir` kept for `path`, in their order.
std::vector<Received> receivedAt(const std::string& outdir, const std::string& path) {
    std::vector<Received> found;
    for (int n = 1;; ++n) {
        char stem[32];
        std::snprintf(stem, sizeof stem, "\\req-%04d", n);
        const std::string meta = readFile(outdir + stem + ".json");
        if (meta.empty()) break;
        rapidjson::Document record;
        record.Parse(meta.c_str());
        if (record.HasParseError() || !record.IsObject() || record["path"].GetString() != path) continue;
        Received r;
        r.path = path;
        for (const auto& member : record["query"].GetObject()) r.query[member.name.GetString()] = member.value.GetString();
        for (const auto& member : record["headers"].GetObject())
            r.headers[member.name.GetString()] = member.value.GetString();
        r.body = readFile(outdir + stem + ".body");
        if (record.HasMember("time") && record["time"].IsNumber()) r.time = record["time"].GetDouble();
        found.push_back(std::move(r));
    }
    return found;
}

// Base64 of the HMAC-SHA256 of `message` keyed by `key`.
std::string hmacSha256Base64(const std::string& key, const std::string& message) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, BCRYPT_ALG_HANDLE_HMAC_FLAG) != 0)
        return "(no HMAC-SHA256)";
    BCRYPT_HASH_HANDLE hash = nullptr;
    UCHAR digest[32] = {};
    const bool ok =
        ::BCryptCreateHash(algorithm, &hash, nullptr, 0, reinterpret_cast<PUCHAR>(const_cast<char*>(key.data())),
                           static_cast<ULONG>(key.size()), 0) == 0 &&
        ::BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(message.data())),
                         static_cast<ULONG>(message.size()), 0) == 0 &&
        ::BCryptFinishHash(hash, digest, sizeof digest, 0) == 0;
    if (hash) ::BCryptDestroyHash(hash);
    ::BCryptCloseAlgorithmProvider(algorithm, 0);
    if (!ok) return "(HMAC failed)";
    char text[64] = {};
    DWORD size = sizeof text;
    if (!::CryptBinaryToStringA(digest, sizeof digest, CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF, text, &size))
        return "(no Base64)";
    return std::string(text, size);
}

// Now in UTC as the alerts write it, "2026-01-05T08:30:00Z".
std::string isoNow() {
    SYSTEMTIME now;
    ::GetSystemTime(&now);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", now.wYear, now.wMonth, now.wDay, now.wHour,
                  now.wMinute, now.wSecond);
    return text;
}

std::string hostName() {
    char name[256] = {};
    DWORD size = sizeof name;
    return ::GetComputerNameExA(ComputerNameDnsHostname, name, &size) ? std::string(name, size) : "";
}

class Win32WebhookTest : public ::testing::Test {
protected:
    Win32WebhookTest() : daemon(dir) {}

    void SetUp() override {
        port = environment("PROCWARD_WEBHOOK_PORT");
        tlsPort = environment("PROCWARD_WEBHOOK_TLS_PORT");
        if (port.empty() || tlsPort.empty())
            GTEST_SKIP() << "no webhook receiver: scripts/test-windows.sh starts them";
        outdir = windowsPath(environment("PROCWARD_WEBHOOK_OUTDIR"));
        tlsOutdir = windowsPath(environment("PROCWARD_WEBHOOK_TLS_OUTDIR"));
        // Paths of this test's own, as the receivers serve every test.
        tag = std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(::GetTickCount64());
    }

    std::string url(const std::string& path) const { return "http://127.0.0.1:" + port + path; }

    TempDir dir;
    WinDaemon daemon;
    std::string port, tlsPort, outdir, tlsOutdir, tag;
};

}  // namespace

TEST_F(Win32WebhookTest, AServerKilledUnderProcwarddIsPostedAsJsonAndToDingTalkSigned) {
    const std::string jsonPath = "/json-" + tag, dingPath = "/ding-" + tag;
    const std::string jsonSecret = "json-secret-4711", dingSecret = "SECding+talk/secret=42";
    const std::string token = "tok0123456789";
    const std::string other = WinTestServer::copyProgram(dir, "other.exe");
    const std::string hooked = WinTestServer::copyProgram(dir, "hook.exe");
    daemon.endAlso("other.exe");
    daemon.endAlso("hook.exe");
    writeFile(dir.path() + "\\serverinfo.json",
              "[{\"name\":\"gs-other\",\"processname\":\"other.exe\",\"commandline\":\"" + jsonEscaped(other + " -x 1") +
                  "\"},{\"name\":\"gs-hook\",\"processname\":\"hook.exe\",\"commandline\":\"" +
                  jsonEscaped(hooked + " --say before-the-end") + "\"}]");
    writeFile(dir.path() + "\\procward.ini",
              "[GENERAL]\r\nCHECK_SVR_STATUS_INTERVAL=1\r\nSTART_CONFIRM_SECONDS=0\r\nSTOP_TIMEOUT=0\r\n"
              "[WEBHOOK.ops]\r\nURL=" + url(jsonPath) + "\r\nKIND=json\r\nSECRET=" + jsonSecret +
                  "\r\nEVENTS=down\r\nMIN_INTERVAL=0\r\n"
              "[WEBHOOK.ding]\r\nURL=" + url(dingPath + "?access_token=" + token) + "\r\nKIND=dingtalk\r\nSECRET=" +
                  dingSecret + "\r\nEVENTS=down\r\nMIN_INTERVAL=0\r\n");
    ASSERT_TRUE(daemon.start());

    const std::string output = dir.path() + "\\logs\\servers\\gs-hook.log";
    ASSERT_TRUE(eventually([&] { return readFile(output).find("before-the-end (stderr)") != std::string::npos; },
                           60000))
        << daemon.log();
    const int pid = pidOfProgram("hook.exe");
    ASSERT_NE(0, pid);
    const std::string before = isoNow();
    const HANDLE server = ::OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid));
    ASSERT_NE(nullptr, server);
    ASSERT_TRUE(::TerminateProcess(server, 7));
    ::CloseHandle(server);

    ASSERT_TRUE(eventually([&] {
        return !receivedAt(outdir, jsonPath).empty() && !receivedAt(outdir, dingPath).empty();
    }, 60000)) << daemon.log();
    const std::string after = isoNow();

    // The json kind: the event itself, each field exact, in UTF-8.
    const Received json = receivedAt(outdir, jsonPath).front();
    EXPECT_EQ("application/json; charset=utf-8", json.headers.at("content-type"));
    rapidjson::Document event;
    event.Parse(json.body.c_str());
    ASSERT_FALSE(event.HasParseError()) << json.body;
    const std::string time = event["time"].GetString();
    EXPECT_LE(before, time);
    EXPECT_GE(after, time);
    const auto outputAt = json.body.find(",\"output\":");
    ASSERT_NE(std::string::npos, outputAt) << json.body;
    const std::string message = utf8(u8"gs-hook: service not working，it will be restarted right away!");
    EXPECT_EQ("{\"event\":\"down\",\"server\":\"gs-hook\",\"index\":2,\"message\":\"" + message +
                  "\",\"reason\":\"exited with code 7\",\"pid\":0,\"time\":\"" + time + "\",\"host\":\"" + hostName() +
                  "\"",
              json.body.substr(0, outputAt));
    // The last lines the server wrote before its end.
    ASSERT_TRUE(event["output"].IsArray()) << json.body;
    std::vector<std::string> lines;
    for (const auto& line : event["output"].GetArray()) lines.push_back(line.GetString());
    EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), "before-the-end (stdout)")) << json.body;
    EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), "before-the-end (stderr)")) << json.body;
    EXPECT_EQ("sha256=" + hmacSha256Base64(jsonSecret, json.body), json.headers.at("x-procward-signature"));

    // DingTalk: its markdown, and the signature of the timestamp in the URL.
    Received ding = receivedAt(outdir, dingPath).front();
    EXPECT_EQ(token, ding.query["access_token"]);
    const std::string timestamp = ding.query["timestamp"];
    ASSERT_FALSE(timestamp.empty());
    EXPECT_EQ(std::string::npos, timestamp.find_first_not_of("0123456789")) << timestamp;
    // Decoded by the receiver: a sign whose + / = were not URL-encoded would
    // not survive the decoding.
    EXPECT_EQ(hmacSha256Base64(dingSecret, timestamp + "\n" + dingSecret), ding.query["sign"]);
    rapidjson::Document markdown;
    markdown.Parse(ding.body.c_str());
    ASSERT_FALSE(markdown.HasParseError()) << ding.body;
    EXPECT_EQ(std::string("markdown"), markdown["msgtype"].GetString());
    EXPECT_EQ(std::string("gs-hook down (exit code 7)"), markdown["markdown"]["title"].GetString());
    const std::string text = markdown["markdown"]["text"].GetString();
    EXPECT_EQ(0u, text.find("**gs-hook down (exit code 7)**\n")) << text;
    EXPECT_NE(std::string::npos, text.find(message)) << text;

    // Only the down event was asked for, and the log keeps the secrets.
    EXPECT_EQ(1u, receivedAt(outdir, jsonPath).size());
    const std::string log = daemon.log();
    EXPECT_EQ(std::string::npos, log.find(token)) << log;
    EXPECT_EQ(std::string::npos, log.find(dingSecret)) << log;
    EXPECT_EQ(std::string::npos, log.find(jsonSecret)) << log;
}

TEST_F(Win32WebhookTest, TestAlertTellsEachChannelsOutcomeAndTheServicesOwnWords) {
    const std::string slackPath = "/slack-" + tag, refusePath = "/refuse-" + tag;
    writeFile(dir.path() + "\\serverinfo.json", "[]");
    writeFile(dir.path() + "\\procward.ini",
              "[WEBHOOK.chat]\r\nURL=" + url(slackPath) + "\r\nKIND=slack\r\n"
              "[WEBHOOK.robot]\r\nURL=" + url(refusePath + "?key=abcdef0123456") + "\r\nKIND=wecom\r\n"
              "[WEBHOOK.gone]\r\nURL=http://127.0.0.1:" + std::to_string(freePort()) + "/x\r\nKIND=json\r\n");
    const FinishedRun run = daemon.run("--test-alert");
    EXPECT_EQ(1u, run.code) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("chat (slack): sent")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("robot (wecom): failed: errcode 93000: invalid webhook url")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("gone (json): failed: ")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("mail: off")) << run.out;

    const std::vector<Received> slack = receivedAt(outdir, slackPath);
    ASSERT_EQ(1u, slack.size());
    rapidjson::Document body;
    body.Parse(slack.front().body.c_str());
    ASSERT_FALSE(body.HasParseError()) << slack.front().body;
    ASSERT_TRUE(body.IsObject());
    EXPECT_EQ(1u, body.MemberCount()) << slack.front().body;
    const std::string text = body["text"].GetString();
    EXPECT_EQ(0u, text.find('[')) << text;
    EXPECT_NE(std::string::npos, text.find("]\nProcward test alert: this channel works.")) << text;
    ASSERT_EQ(1u, receivedAt(outdir, refusePath).size());
    EXPECT_EQ("abcdef0123456", receivedAt(outdir, refusePath).front().query["key"]);

    // One channel by its name: the others are left alone.
    const FinishedRun one = daemon.run("--test-alert chat");
    EXPECT_EQ(0u, one.code) << one.out;
    EXPECT_EQ(std::string::npos, one.out.find("robot")) << one.out;
    EXPECT_EQ(2u, receivedAt(outdir, slackPath).size());
    EXPECT_EQ(1u, receivedAt(outdir, refusePath).size());
}

// WinHTTP checks the certificate against the Windows store: an authority
// that is not in it is refused, and nothing is posted.
TEST_F(Win32WebhookTest, HttpsIsRefusedUntilTheAuthorityIsTrustedByTheWindowsStore) {
    const std::string path = "/secure-" + tag;
    writeFile(dir.path() + "\\serverinfo.json", "[]");
    writeFile(dir.path() + "\\procward.ini",
              "[WEBHOOK.secure]\r\nURL=https://127.0.0.1:" + tlsPort + path + "\r\nKIND=json\r\nTIMEOUT=20\r\n");
    const FinishedRun refused = daemon.run("--test-alert secure");
    EXPECT_EQ(1u, refused.code) << refused.out;
    EXPECT_NE(std::string::npos, refused.out.find("secure (json): failed: ")) << refused.out;
    EXPECT_NE(std::string::npos, refused.out.find("certificate")) << refused.out;
    EXPECT_TRUE(receivedAt(tlsOutdir, path).empty());

    const std::string authority = readFile(windowsPath(environment("PROCWARD_TLS_AUTHORITY")));
    DWORD size = 0;
    ASSERT_TRUE(::CryptStringToBinaryA(authority.data(), static_cast<DWORD>(authority.size()), CRYPT_STRING_BASE64HEADER,
                                       nullptr, &size, nullptr, nullptr));
    std::string der(size, '\0');
    ASSERT_TRUE(::CryptStringToBinaryA(authority.data(), static_cast<DWORD>(authority.size()), CRYPT_STRING_BASE64HEADER,
                                       reinterpret_cast<BYTE*>(der.data()), &size, nullptr, nullptr));
    // The machine's store: the user's view of ROOT includes it.
    HCERTSTORE store = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "ROOT");
    if (!store) GTEST_SKIP() << "the machine's ROOT store cannot be opened (error " << ::GetLastError() << ")";
    PCCERT_CONTEXT added = nullptr;
    if (!::CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()), size,
                                            CERT_STORE_ADD_REPLACE_EXISTING, &added)) {
        const DWORD error = ::GetLastError();
        ::CertCloseStore(store, 0);
        GTEST_SKIP() << "no certificate can be added to the machine's ROOT store (error " << error << ")";
    }
    const FinishedRun trusted = daemon.run("--test-alert secure");
    ::CertDeleteCertificateFromStore(added);
    ::CertCloseStore(store, 0);
    // Wine builds its ROOT store from the host's certificates whenever it is
    // opened and keeps nothing added to it, so there the authority stays
    // unknown to WinHTTP.
    if (trusted.code != 0 && trusted.out.find("certificate") != std::string::npos)
        GTEST_SKIP() << "WinHTTP here does not trust an authority added to the machine's ROOT store: " << trusted.out;
    EXPECT_EQ(0u, trusted.code) << trusted.out;
    EXPECT_NE(std::string::npos, trusted.out.find("secure (json): sent")) << trusted.out;
    const std::vector<Received> posted = receivedAt(tlsOutdir, path);
    ASSERT_EQ(1u, posted.size());
    rapidjson::Document body;
    body.Parse(posted.front().body.c_str());
    ASSERT_FALSE(body.HasParseError()) << posted.front().body;
    EXPECT_EQ(std::string("test"), body["event"].GetString());
}

// A service that takes the post and never answers (its answer would come
// a minute later) fails at the channel's TIMEOUT, not at WinHTTP's own
// default wait.
TEST_F(Win32WebhookTest, AServiceThatDoesNotAnswerFailsAtTheChannelsTimeout) {
    const int slowPort = freePort();
    const std::string program = WinTestServer::copyProgram(dir, "slowhook.exe");
    WinTestServer slow(dir, program + " --http 127.0.0.1:" + std::to_string(slowPort) + " --http-delay 60000");
    ASSERT_TRUE(slow.started());
    writeFile(dir.path() + "\\serverinfo.json", "[]");
    writeFile(dir.path() + "\\procward.ini", "[WEBHOOK.late]\r\nURL=http://127.0.0.1:" + std::to_string(slowPort) +
                                                 "/hook\r\nKIND=json\r\nTIMEOUT=2\r\n");
    const FinishedRun run = daemon.run("--test-alert late");
    EXPECT_EQ(1u, run.code) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("late (json): failed: sending failed: the server did not answer in time"))
        << run.out;
}

// The robots' rules through WinHTTP: a WeCom text robot gets a 9 KB server
// name cut to its 2048 bytes, whole characters only; a robot that refuses is
// asked once; one that answers 429 is asked again only after its
// Retry-After; a post to a receiver that never answers is cut short at the
// end.
TEST_F(Win32WebhookTest, RobotsGetPostsCutToFitAreAskedOnceWhenTheyRefuseAndWaitedForWhenBusy) {
    const std::string textPath = "/wecomtext-" + tag, refusePath = "/refuse-" + tag, busyPath = "/busy-" + tag;
    const std::string program = WinTestServer::copyProgram(dir, "long.exe");
    daemon.endAlso("long.exe");
    const int slowPort = freePort();
    WinTestServer slow(dir, WinTestServer::copyProgram(dir, "hung.exe") + " --http 127.0.0.1:" +
                                std::to_string(slowPort) + " --http-delay 600000");
    ASSERT_TRUE(slow.started());
    std::string name = "gs-";
    for (int i = 0; i < 3000; ++i) name += utf8(u8"服");
    writeFile(dir.path() + "\\serverinfo.json", "[{\"name\":\"" + jsonEscaped(name) +
                                                     "\",\"processname\":\"long.exe\",\"commandline\":\"" +
                                                     jsonEscaped(program) + "\"}]");
    writeFile(dir.path() + "\\procward.ini",
              "[GENERAL]\r\nCHECK_SVR_STATUS_INTERVAL=1\r\nSTOP_TIMEOUT=0\r\nSTART_CONFIRM_SECONDS=0\r\n"
              "[WEBHOOK.text]\r\nURL=" + url(textPath) + "\r\nKIND=wecom\r\nMSGTYPE=text\r\nEVENTS=down\r\n"
              "MIN_INTERVAL=0\r\n"
              "[WEBHOOK.refusing]\r\nURL=" + url(refusePath + "?key=abcdef0123456") +
                  "\r\nKIND=wecom\r\nEVENTS=down\r\nMIN_INTERVAL=0\r\n"
              "[WEBHOOK.busy]\r\nURL=" + url(busyPath) + "\r\nKIND=slack\r\nEVENTS=down\r\nMIN_INTERVAL=0\r\n"
              "[WEBHOOK.late]\r\nURL=http://127.0.0.1:" + std::to_string(slowPort) +
                  "/hook\r\nKIND=json\r\nEVENTS=down\r\nTIMEOUT=300\r\n");
    ASSERT_TRUE(daemon.start());
    int pid = 0;
    ASSERT_TRUE(eventually([&] { return (pid = pidOfProgram("long.exe")) != 0; }, 60000)) << daemon.log();
    const HANDLE server = ::OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid));
    ASSERT_NE(nullptr, server);
    ASSERT_TRUE(::TerminateProcess(server, 3));
    ::CloseHandle(server);

    ASSERT_TRUE(eventually([&] {
        return !receivedAt(outdir, textPath).empty() && !receivedAt(outdir, refusePath).empty() &&
               receivedAt(outdir, busyPath).size() >= 2;
    }, 60000)) << daemon.log();

    const std::vector<Received> text = receivedAt(outdir, textPath);
    ASSERT_EQ(1u, text.size());
    rapidjson::Document body;
    body.Parse(text.front().body.c_str());
    ASSERT_FALSE(body.HasParseError()) << text.front().body.substr(0, 200);
    const std::string content = body["text"]["content"].GetString();
    EXPECT_LE(content.size(), 2048u);
    EXPECT_EQ(0u, content.find("[gs-" + utf8(u8"服服服"))) << content;
    EXPECT_NE(std::string::npos, content.find(utf8(u8"…"))) << content;
    EXPECT_NE(std::string::npos, content.find("\nHost: ")) << content;

    const std::vector<Received> busy = receivedAt(outdir, busyPath);
    EXPECT_GE(busy[1].time - busy[0].time, 0.9);

    const std::string log = daemon.log();
    EXPECT_NE(std::string::npos,
              log.find("Webhook refusing: refused (errcode 93000: invalid webhook url), not tried again: gs-"))
        << log;
    EXPECT_NE(std::string::npos, log.find("Webhook text: sent: gs-")) << log;
    EXPECT_EQ(std::string::npos, log.find("abcdef0123456")) << log;
    // Refused for good: asked once, not again.
    EXPECT_EQ(1u, receivedAt(outdir, refusePath).size());

    // The end cancels the post that waits for an answer at once.
    daemon.ctl("shutdown");
    ASSERT_TRUE(eventually([&] { return daemon.log().find("Procward exiting: ctl") != std::string::npos; }, 30000))
        << daemon.log();
    const std::string end = daemon.log();
    EXPECT_NE(std::string::npos, end.find("Webhook late: not sent before exit (cancelled): gs-")) << end;
    EXPECT_EQ(std::string::npos, end.find("did not stop in time")) << end;
}
