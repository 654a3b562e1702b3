#include "tests/support/SmtpTestServer.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include <rapidjson/document.h>

#include "platform/Text.h"
#include "tests/support/TestServer.h"

namespace {

const char* const kPython = "/usr/bin/python3";

std::string scriptPath() { return std::string(PROCWARD_SOURCE_DIR) + "/tests/smtp/smtp_server.py"; }

std::string fromHex(const std::string& hex) {
    const auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        throw std::runtime_error("bad hex digit");
    };
    std::string bytes;
    bytes.reserve(hex.size() / 2);
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += static_cast<char>(digit(hex[i]) * 16 + digit(hex[i + 1]));
    return bytes;
}

std::string stringOf(const rapidjson::Value& object, const char* name) {
    const auto member = object.FindMember(name);
    if (member == object.MemberEnd() || !member->value.IsString()) return {};
    return std::string(member->value.GetString(), member->value.GetStringLength());
}

ReceivedMessage parseMessage(const std::string& json, const std::string& path) {
    rapidjson::Document doc;
    doc.Parse(json.c_str(), json.size());
    if (doc.HasParseError() || !doc.IsObject()) throw std::runtime_error("unreadable message file " + path);

    ReceivedMessage m;
    m.mailFrom = stringOf(doc, "mail_from");
    for (const auto& r : doc["rcpt_tos"].GetArray()) m.rcptTos.emplace_back(r.GetString(), r.GetStringLength());
    m.authLogin = stringOf(doc, "auth_login");
    m.tlsVersion = stringOf(doc, "tls_version");
    m.data = fromHex(stringOf(doc, "raw_hex"));
    for (const auto& h : doc["headers"].GetArray())
        m.headers.emplace_back(std::string(h[0].GetString(), h[0].GetStringLength()),
                               std::string(h[1].GetString(), h[1].GetStringLength()));
    m.hasSubject = doc["subject"].IsString();
    m.subject = stringOf(doc, "subject");
    m.multipart = doc["is_multipart"].GetBool();
    m.body = stringOf(doc, "body");
    m.bodyContentType = stringOf(doc, "body_content_type");
    m.bodyCharset = stringOf(doc, "body_charset");
    m.bodyTransferEncoding = stringOf(doc, "body_transfer_encoding");
    for (const auto& a : doc["attachments"].GetArray())
        m.attachments.push_back({stringOf(a, "filename"), stringOf(a, "content_type"), fromHex(stringOf(a, "data_hex"))});
    for (const auto& d : doc["defects"].GetArray()) m.defects.emplace_back(d.GetString(), d.GetStringLength());
    for (const auto& header : doc["addresses"].GetObject())
        for (const auto& mailbox : header.value.GetArray())
            m.mailboxes.push_back({header.name.GetString(),
                                   {std::string(mailbox[0].GetString(), mailbox[0].GetStringLength()),
                                    std::string(mailbox[1].GetString(), mailbox[1].GetStringLength())}});

    // The header lines as they stood on the wire, up to the blank line.
    std::size_t pos = 0;
    while (pos < m.data.size()) {
        const auto end = m.data.find("\r\n", pos);
        const std::string line = m.data.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        if (line.empty()) break;
        m.headerLines.push_back(line);
        if (end == std::string::npos) break;
        pos = end + 2;
    }
    return m;
}

}  // namespace

std::string ReceivedMessage::header(const std::string& name) const {
    for (const auto& [key, value] : headers)
        if (platform::equalsNoCase(key, name)) return value;
    return {};
}

std::vector<std::pair<std::string, std::string>> ReceivedMessage::addresses(const std::string& header) const {
    std::vector<std::pair<std::string, std::string>> result;
    for (const auto& [name, mailbox] : mailboxes)
        if (platform::equalsNoCase(name, header)) result.push_back(mailbox);
    return result;
}

std::string ReceivedMessage::rawBody() const {
    const auto blank = data.find("\r\n\r\n");
    return blank == std::string::npos ? std::string() : data.substr(blank + 4);
}

namespace {
SmtpTestServer::Options accountOnly(std::string user, std::string password) {
    SmtpTestServer::Options options;
    options.user = std::move(user);
    options.password = std::move(password);
    return options;
}
const char* securityArgument(SmtpTestServer::Security security) {
    switch (security) {
        case SmtpTestServer::Security::StartTls: return "starttls";
        case SmtpTestServer::Security::RequireStartTls: return "require-starttls";
        case SmtpTestServer::Security::ImplicitTls: return "implicit";
        case SmtpTestServer::Security::Plain: break;
    }
    return "plain";
}
}  // namespace

SmtpTestServer::SmtpTestServer(std::string user, std::string password)
    : SmtpTestServer(accountOnly(std::move(user), std::move(password))) {}

SmtpTestServer::SmtpTestServer(Options options) : options_(std::move(options)) {
    std::filesystem::create_directory(dir_.file("messages"));
    std::string why;
    // Another process may take the free port before the server binds it.
    for (int attempt = 0; attempt < 5; ++attempt)
        if (start(why)) return;
    throw std::runtime_error("SMTP test server did not start: " + why);
}

SmtpTestServer::~SmtpTestServer() { stop(); }

bool SmtpTestServer::start(std::string& why) {
    port_ = freeTcpPort();
    const std::string ready = dir_.file("ready");
    const std::string log = dir_.file("server.log");
    ::unlink(ready.c_str());
    std::vector<std::string> args{kPython,     scriptPath(),          "--port",     std::to_string(port_),
                                  "--user",    options_.user,         "--password", options_.password,
                                  "--outdir",  dir_.file("messages"), "--ready",    ready,
                                  "--security", securityArgument(options_.security)};
    if (options_.security != Security::Plain) {
        args.insert(args.end(), {"--cert", options_.certificateFile, "--key", options_.keyFile, "--sni-log",
                                 dir_.file("sni.log")});
    }
    if (!options_.mechanisms.empty()) args.insert(args.end(), {"--mechanisms", options_.mechanisms});
    if (!options_.eightBitMime) args.push_back("--no-8bitmime");
    if (!options_.requireAuth) args.push_back("--no-auth");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (out >= 0) {
            ::dup2(out, 1);
            ::dup2(out, 2);
        }
        ::execv(kPython, argv.data());
        ::_exit(127);
    }
    bool exited = false;
    const bool up = waitFor(
        [&] {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                exited = true;
                return true;
            }
            return ::access(ready.c_str(), F_OK) == 0;
        },
        15000);
    if (up && !exited) return true;
    if (exited) pid_ = 0;
    stop();
    why = "port " + std::to_string(port_) + ": " + serverLog();
    return false;
}

void SmtpTestServer::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = 0;
}

std::size_t SmtpTestServer::countMessages() const {
    std::size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.file("messages")))
        if (entry.path().extension() == ".json") ++n;
    return n;
}

std::vector<ReceivedMessage> SmtpTestServer::messages() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.file("messages")))
        if (entry.path().extension() == ".json") names.push_back(entry.path().string());
    std::sort(names.begin(), names.end());
    std::vector<ReceivedMessage> result;
    for (const auto& name : names) result.push_back(parseMessage(readFile(name), name));
    return result;
}

std::vector<ReceivedMessage> SmtpTestServer::waitForMessages(std::size_t n, std::chrono::milliseconds timeout) const {
    waitFor([&] { return countMessages() >= n; }, static_cast<int>(timeout.count()));
    return messages();
}

std::string SmtpTestServer::serverLog() const { return readFile(dir_.file("server.log")); }

std::string SmtpTestServer::serverNamesSeen() const { return readFile(dir_.file("sni.log")); }
