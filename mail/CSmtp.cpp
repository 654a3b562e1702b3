#include "mail/CSmtp.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <random>
#include <ctime>
#include <filesystem>
#include <new>

#include "mail/Base64.h"
#include "mail/ECSmtp.h"
#include "mail/MailAbort.h"
#include "mail/MailClock.h"
#include "mail/MailConnection.h"
#include "mail/MimeText.h"
#include "platform/System.h"
#include "platform/TextEncoding.h"
#include "platform/FileStore.h"

namespace {

constexpr const char* kMessageBoundary = "__MESSAGE__ID__54yg6f6h6y456345";
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::size_t kAttachmentChunk = 54;
constexpr std::size_t kBatchThreshold = 5120;
constexpr std::uint64_t kSizeLimitKiB = 5120;
constexpr std::size_t kReplyTextLimit = 400;  // of a reply kept with an error
constexpr std::size_t kBase64BodyLine = 76;
constexpr const char* kMasked = "********";

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// "<address>" lists joined by "," with each display name before its "<".
std::string recipientList(const std::vector<CSmtp::Recipient>& list) {
    std::string text;
    for (const auto& recipient : list) {
        if (!text.empty()) text += ',';
        const std::string name = StripLineBreaks(recipient.name);
        text += EncodeHeaderText(name, platform::textCharset());
        // An encoded word must stand apart from the "<" that follows it.
        if (HasEightBitBytes(name)) text += ' ';
        text += '<';
        text += StripLineBreaks(recipient.address);
        text += '>';
    }
    return text;
}

const char* priorityLine(int priority) {
    switch (priority) {
        case 2: return "X-Priority: 2 (High)\r\n";
        case 4: return "X-Priority: 4 (Low)\r\n";
        default: return "X-Priority: 3 (Normal)\r\n";
    }
}

// The file name of an attachment: what follows the last path separator.
std::string fileNameOf(const std::string& path) {
    const auto separator = path.find_last_of(platform::pathSeparator());
    return separator == std::string::npos ? path : path.substr(separator + 1);
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

// "Date: 05 Mar 2021 09:04:07 +0100": the local time with its offset from
// UTC, two-digit fields.
std::string dateLine(std::int64_t now, const std::tm& local) {
    const std::int64_t localAsUtc =
        daysFromCivil(local.tm_year + 1900, static_cast<unsigned>(local.tm_mon + 1), static_cast<unsigned>(local.tm_mday)) *
            86400 +
        local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
    const std::int64_t offset = localAsUtc - now;
    const std::int64_t minutes = (offset < 0 ? -offset : offset) / 60;
    char date[96];
    std::snprintf(date, sizeof date, "Date: %02d %s %04d %02d:%02d:%02d %c%02d%02d\r\n", local.tm_mday,
                  kMonths[local.tm_mon], local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec,
                  offset < 0 ? '-' : '+', static_cast<int>(minutes / 60), static_cast<int>(minutes % 60));
    return date;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The right side of a Message-ID: the sender's domain, else this computer's
// name; only the letters, digits, "-" and "." a domain may hold.
std::string messageIdDomain(const std::string& sender, const std::string& host) {
    const auto at = sender.rfind('@');
    const std::string domain = at == std::string::npos ? host : sender.substr(at + 1);
    std::string clean;
    for (const char c : domain)
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || isDigit(c) || c == '-' || c == '.') clean += c;
    while (!clean.empty() && clean.front() == '.') clean.erase(0, 1);
    while (!clean.empty() && clean.back() == '.') clean.pop_back();
    return clean.empty() ? "localhost" : clean;
}

// A Message-ID no other mail has: the time, a random number drawn once per
// process and a count of the mails this process composed.
std::string messageId(std::int64_t now, const std::string& domain) {
    static const std::uint64_t processPart = [] {
        std::random_device device;
        return (static_cast<std::uint64_t>(device()) << 32) ^ device();
    }();
    static std::atomic<std::uint64_t> count{0};
    char id[128];
    std::snprintf(id, sizeof id, "%llx.%016llx.%llu", static_cast<unsigned long long>(now),
                  static_cast<unsigned long long>(processPart), static_cast<unsigned long long>(++count));
    return "<" + std::string(id) + ".procward@" + domain + ">";
}

// The text with each of its line breaks (CR LF, LF or a lone CR) as CR LF,
// ending with one.
std::string crlfLines(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            out += "\r\n";
        } else {
            out += c;
        }
    }
    return out + "\r\n";
}

}  // namespace

CSmtp::CSmtp() : sockets(platform::sockets()) {
    switch (sockets.startup()) {
        case platform::SocketLibraryStart::Started: break;
        case platform::SocketLibraryStart::Unavailable: throw ECSmtp(100);
        case platform::SocketLibraryStart::WrongVersion: sockets.cleanup(); throw ECSmtp(101);
    }
    try {
        if (!sockets.hostName(localHostName)) throw ECSmtp(107);
        try {
            recvBuffer = std::make_unique<char[]>(kBufferSize);
            sendBuffer.reserve(kBufferSize);
        } catch (const std::bad_alloc&) {
            throw ECSmtp(408);
        }
    } catch (...) {
        sockets.cleanup();
        throw;
    }
}

CSmtp::~CSmtp() {
    CloseConnection();
    sockets.cleanup();
}

void CSmtp::SetServer(const std::string& name, std::uint16_t port) {
    serverName = name;
    serverPort = port;
}
void CSmtp::SetLogin(const std::string& text) { login = text; }
void CSmtp::SetPassword(const std::string& text) { password = text; }
void CSmtp::SetSenderName(const std::string& text) { senderName = text; }
void CSmtp::SetSenderAddress(const std::string& text) { senderAddress = text; }
void CSmtp::SetReplyTo(const std::string& text) { replyTo = text; }
void CSmtp::SetXMailer(const std::string& text) { xMailer = text; }
void CSmtp::SetSubject(const std::string& text) { subject = text; }
void CSmtp::SetPriority(int value) { priority = value; }

void CSmtp::AddRecipient(const std::string& address, const std::string& name) {
    if (address.empty()) throw ECSmtp(206);
    toRecipients.push_back({name, address});
}
void CSmtp::AddCcRecipient(const std::string& address, const std::string& name) {
    if (address.empty()) throw ECSmtp(206);
    ccRecipients.push_back({name, address});
}
void CSmtp::AddBccRecipient(const std::string& address, const std::string& name) {
    if (address.empty()) throw ECSmtp(206);
    bccRecipients.push_back({name, address});
}
void CSmtp::AddMessageLine(const std::string& text) { messageLines.push_back(text); }
void CSmtp::AddAttachment(const std::string& path) { attachments.push_back(path); }

const std::string& CSmtp::GetMessageLine(std::size_t index) const {
    if (index >= messageLines.size()) throw ECSmtp(412);
    return messageLines[index];
}

void CSmtp::Note(const std::string& line) const {
    if (transcript) transcript(line);
}

platform::SocketHandle CSmtp::ConnectToServer(const std::string& name, std::uint16_t port) {
    const platform::SocketHandle socket = sockets.createStreamSocket();
    if (socket == platform::kNoSocket) throw ECSmtp(106);
    if (abortHandle && !abortHandle->attach(sockets, socket)) {
        sockets.close(socket);
        throw ECSmtp(414);
    }
    const auto closeSocket = [&] {
        if (abortHandle) abortHandle->detach();
        sockets.close(socket);
    };
    try {
        targetPort = port;
        if (targetPort == 0 && !sockets.servicePort("mail", targetPort)) targetPort = kDefaultPort;
        std::uint32_t address = 0;
        if (!sockets.resolveIPv4(name, address)) throw ECSmtp(105);
        if (!sockets.setNonBlocking(socket)) throw ECSmtp(108);
        Note("* Connecting to " + name + " port " + std::to_string(targetPort));

        switch (sockets.connect(socket, address, targetPort)) {
            case platform::ConnectStart::Connected: return socket;
            case platform::ConnectStart::Failed: throw ECSmtp(104);
            case platform::ConnectStart::InProgress: break;
        }
        for (;;) {
            bool cutShort = false;
            const auto limit = deadline->nextWait(cutShort);
            std::string reason;
            const platform::ConnectWait result = sockets.waitConnected(socket, limit, reason);
            if (abortHandle && abortHandle->aborted()) throw ECSmtp(414);
            switch (result) {
                case platform::ConnectWait::Connected: return socket;
                case platform::ConnectWait::TimedOut: deadline->timedOut(403, cutShort);
                case platform::ConnectWait::Refused:
                case platform::ConnectWait::Failed: throw ECSmtp(109, reason);
            }
        }
    } catch (...) {
        closeSocket();
        throw;
    }
}

void CSmtp::SendBufferText() { connection->send(sendBuffer.data(), sendBuffer.size()); }

void CSmtp::SendCommand(const std::string& command, const char* shownAs) {
    sendBuffer = command + "\r\n";
    Note(std::string("C: ") + (shownAs ? shownAs : command.c_str()));
    SendBufferText();
}

std::string CSmtp::ReadLine() {
    constexpr std::size_t longest = kBufferSize - 1;  // with its LF; room for the NUL
    for (;;) {
        const auto lf = received.find('\n');
        if (lf != std::string::npos && lf < longest) {
            std::string line = received.substr(0, lf + 1);
            received.erase(0, lf + 1);
            return line;
        }
        // No line feed among the first bytes that fit, and a byte beyond them.
        if (received.size() > longest) throw ECSmtp(408);
        char chunk[4096];
        const std::size_t n = connection->receive(chunk, sizeof chunk);
        received.append(chunk, n);
    }
}

void CSmtp::ReceiveReply() {
    if (!recvBuffer) throw ECSmtp(410);
    replyLines.clear();
    for (;;) {
        const std::string line = ReadLine();
        std::memcpy(recvBuffer.get(), line.data(), line.size());
        recvBuffer[line.size()] = '\0';
        std::string bare = line;
        while (!bare.empty() && (bare.back() == '\n' || bare.back() == '\r')) bare.pop_back();
        Note("S: " + bare);
        replyLines.push_back(std::move(bare));
        // "NNN-" announces another line of the same reply.
        const bool more = line.size() >= 4 && isDigit(line[0]) && isDigit(line[1]) && isDigit(line[2]) && line[3] == '-';
        if (!more) return;
    }
}

int CSmtp::ReplyCode() const {
    if (!recvBuffer) return 0;
    const char* line = recvBuffer.get();
    if (!isDigit(line[0]) || !isDigit(line[1]) || !isDigit(line[2])) return -1;
    return 100 * (line[0] - '0') + 10 * (line[1] - '0') + (line[2] - '0');
}

std::string CSmtp::ReplyText() const {
    std::string text;
    for (const auto& line : replyLines) {
        if (!text.empty()) text += ' ';
        text += line;
    }
    if (text.size() > kReplyTextLimit) text = text.substr(0, platform::wholeCharacterPrefix(text, kReplyTextLimit)) + "...";
    return text;
}

int CSmtp::SkipPendingOk() {
    do {
        ReceiveReply();
    } while (ReplyCode() == 250);
    return ReplyCode();
}

void CSmtp::CloseConnection() {
    connection.reset();
    if (socketHandle == platform::kNoSocket) return;
    if (abortHandle) abortHandle->detach();
    sockets.close(socketHandle);
    socketHandle = platform::kNoSocket;
}

void CSmtp::Send() {
    warnings.clear();
    received.clear();
    capabilities = {};
    deadline.emplace(overallLimit, waitLimit);
    socketHandle = ConnectToServer(serverName, serverPort);
    try {
        connection = std::make_unique<MailConnection>(sockets, socketHandle, *deadline, abortHandle.get());
        Exchange();
        connection->closeTls();
    } catch (...) {
        CloseConnection();
        throw;
    }
    CloseConnection();
}

void CSmtp::StartTls() {
    Note("* Starting TLS with " + serverName + (tlsVerify ? "" : " (certificate not checked)"));
    connection->startTls(serverName, tlsVerify);
    Note("* TLS session: " + connection->tlsDescription() +
         (tlsVerify ? ", certificate trusted for " + serverName : ", certificate not checked"));
    if (!tlsVerify)
        warnings.push_back("TLS certificate of " + serverName + " was not checked (SMTP_TLS_VERIFY=0)");
}

void CSmtp::Greet() {
    SendCommand("EHLO " + localHostName);
    ReceiveReply();
    if (ReplyCode() != 250) throw ECSmtp(301, ReplyText());
    capabilities = SmtpCapabilities::FromEhloReply(replyLines);
}

void CSmtp::Exchange() {
    const bool implicitTls =
        security == SmtpSecurity::Tls || (security == SmtpSecurity::Auto && targetPort == kImplicitTlsPort);
    if (implicitTls) StartTls();

    ReceiveReply();
    if (ReplyCode() != 220) throw ECSmtp(401, ReplyText());
    Greet();

    if (!connection->tlsActive() && security != SmtpSecurity::None) {
        if (capabilities.startTls) {
            SendCommand("STARTTLS");
            ReceiveReply();
            if (ReplyCode() != 220) throw ECSmtp(505, ReplyText());
            // Whatever came before the handshake did not come through it: a
            // reply slipped in there must not be read as the server's.
            received.clear();
            StartTls();
            // What the server offers may differ once the connection is safe.
            Greet();
        } else if (security == SmtpSecurity::StartTls) {
            throw ECSmtp(504);
        }
    }

    if (login.empty()) {
        // A relay that takes mail without a login: nothing to protect.
        Note("* No login set: the mail goes out without AUTH");
    } else if (!capabilities.authLogin && !capabilities.authPlain) {
        // A server that offers no AUTH takes mail without it (a relay that
        // knows this computer) or refuses it: asking would only fail.
        Note("* The server offers no AUTH: the mail goes out without a login");
    } else if (!connection->tlsActive() && security == SmtpSecurity::Auto) {
        // No STARTTLS offered, or someone on the way took it out of the
        // reply: the password stays here unless plain TCP was asked for.
        throw ECSmtp(416);
    } else {
        Authenticate();
    }

    ChooseBodyEncoding();
    const std::string sender = StripLineBreaks(SenderAddress());
    if (capabilities.sizeLimit > 0 && EstimatedMessageSize() > capabilities.sizeLimit)
        throw ECSmtp(415, "SIZE " + std::to_string(capabilities.sizeLimit));
    SendCommand("MAIL FROM:<" + sender + ">" + (bodyEncoding == BodyEncoding::EightBit ? " BODY=8BITMIME" : ""));
    ReceiveReply();
    if (ReplyCode() != 250) throw ECSmtp(300, ReplyText());

    SendRecipients();

    SendCommand("DATA");
    if (SkipPendingOk() != 354) throw ECSmtp(303, ReplyText());

    SendMessageContent();

    sendBuffer = "\r\n.\r\n";
    Note("C: .");
    SendBufferText();
    ReceiveReply();
    if (ReplyCode() != 250) throw ECSmtp(306, ReplyText());

    SendCommand("QUIT");
    ReceiveReply();
    if (ReplyCode() != 221) throw ECSmtp(304, ReplyText());
}

std::string CSmtp::SenderAddress() const {
    if (!senderAddress.empty()) return senderAddress;
    return "procward@" + (localHostName.empty() ? std::string("localhost") : localHostName);
}

void CSmtp::ChooseBodyEncoding() {
    bool eightBit = false;
    bool fitsLines = true;
    for (const auto& line : messageLines) {
        eightBit = eightBit || HasEightBitBytes(line);
        fitsLines = fitsLines && FitsDataLineLimit(line);
    }
    // The charset names what the bytes are; the transfer encoding how they
    // survive the way: 7bit and 8bit only with lines a server must take,
    // 8bit only to a server that said it takes it, base64 for the rest.
    bodyCharset = eightBit ? platform::textCharset() : "US-ASCII";
    if (fitsLines && !eightBit)
        bodyEncoding = BodyEncoding::SevenBit;
    else if (fitsLines && capabilities.eightBitMime)
        bodyEncoding = BodyEncoding::EightBit;
    else
        bodyEncoding = BodyEncoding::Base64;
}

void CSmtp::WarnIfUnprotected() {
    if (connection->tlsActive()) return;
    warnings.push_back("The password was sent to " + serverName + " without TLS (SMTP_SECURITY=none)");
}

void CSmtp::Authenticate() {
    if (capabilities.authPlain && !capabilities.authLogin) {
        if (password.empty()) throw ECSmtp(205);
        const std::string credentials = std::string(1, '\0') + login + '\0' + password;
        WarnIfUnprotected();
        SendCommand("AUTH PLAIN " + Base64Encode(credentials), "AUTH PLAIN ********");
        ReceiveReply();
        const int code = ReplyCode();
        if (code == 235) return;
        throw ECSmtp(code == 535 ? 406 : 307, ReplyText());
    }

    SendCommand("AUTH LOGIN");
    if (SkipPendingOk() != 334) throw ECSmtp(302, ReplyText());

    SendCommand(Base64Encode(login), kMasked);
    ReceiveReply();
    if (ReplyCode() != 334) throw ECSmtp(407, ReplyText());

    if (password.empty()) throw ECSmtp(205);
    WarnIfUnprotected();
    SendCommand(Base64Encode(password), kMasked);
    for (;;) {
        ReceiveReply();
        const int code = ReplyCode();
        if (code == 235) return;
        if (code == 334) continue;
        throw ECSmtp(code == 535 ? 406 : 407, ReplyText());
    }
}

void CSmtp::SendRecipients() {
    // 251: the server forwards the mail, which is as good as taking it.
    const auto accepted = [this] { return ReplyCode() == 250 || ReplyCode() == 251; };

    if (toRecipients.empty()) throw ECSmtp(203);
    std::vector<std::pair<std::string, std::string>> refused;  // address, reply
    for (const auto& recipient : toRecipients) {
        const std::string address = StripLineBreaks(recipient.address);
        SendCommand("RCPT TO:<" + address + ">");
        ReceiveReply();
        if (!accepted()) refused.emplace_back(address, ReplyText());
    }
    if (refused.size() == toRecipients.size()) {
        std::string detail;
        for (const auto& [address, reply] : refused) {
            if (!detail.empty()) detail += "; ";
            detail += refused.size() == 1 ? reply : "<" + address + "> " + reply;
        }
        throw ECSmtp(305, detail);
    }

    for (const auto* list : {&ccRecipients, &bccRecipients}) {
        for (const auto& recipient : *list) {
            const std::string address = StripLineBreaks(recipient.address);
            SendCommand("RCPT TO:<" + address + ">");
            ReceiveReply();
            if (!accepted()) refused.emplace_back(address, ReplyText());
        }
    }
    for (const auto& [address, reply] : refused)
        warnings.push_back("Recipient address refused: " + address + " (" + reply + ")");
}

void CSmtp::SendMessageContent() {
    ComposeHeader(sendBuffer);
    SendBufferText();

    SendBody();

    SendAttachments();

    if (!attachments.empty()) {
        sendBuffer = std::string("\r\n--") + kMessageBoundary + "--\r\n";
        SendBufferText();
    }
    Note(attachments.empty() ? "C: (the message: header and body)" : "C: (the message: header, body and attachments)");
}

void CSmtp::SendBody() {
    if (bodyEncoding == BodyEncoding::Base64) {
        // A server without 8BITMIME gets the 8-bit text in base64 lines.
        std::string text;
        if (messageLines.empty()) text = " \r\n";
        for (std::size_t i = 0; i < messageLines.size(); ++i) text += crlfLines(GetMessageLine(i));
        const std::string encoded = Base64Encode(text);
        sendBuffer.clear();
        for (std::size_t at = 0; at < encoded.size(); at += kBase64BodyLine)
            sendBuffer += encoded.substr(at, kBase64BodyLine) + "\r\n";
        SendBufferText();
        return;
    }
    if (messageLines.empty()) {
        sendBuffer = " \r\n";
        SendBufferText();
        return;
    }
    for (std::size_t i = 0; i < messageLines.size(); ++i) {
        sendBuffer = DataLines(GetMessageLine(i));
        SendBufferText();
    }
}

void CSmtp::ComposeHeader(std::string& target) const {
    const std::int64_t now = MailClockNow();
    if (now <= 0) throw ECSmtp(409);
    std::tm local{};
    if (!platform::localTime(now, local)) throw ECSmtp(409);
    if (toRecipients.empty()) throw ECSmtp(203);

    const std::string& charset = platform::textCharset();
    target = dateLine(now, local);
    target += "Message-ID: " + messageId(now, messageIdDomain(StripLineBreaks(SenderAddress()), localHostName)) + "\r\n";

    target += "From: ";
    target += EncodeHeaderText(StripLineBreaks(senderName), charset);
    target += " <" + StripLineBreaks(SenderAddress()) + ">\r\n";
    if (!xMailer.empty()) target += "X-Mailer: " + StripLineBreaks(xMailer) + "\r\n";
    if (!replyTo.empty()) target += "Reply-To: " + StripLineBreaks(replyTo) + "\r\n";
    target += priorityLine(priority);
    target += "To: " + recipientList(toRecipients) + "\r\n";
    if (!ccRecipients.empty()) target += "Cc: " + recipientList(ccRecipients) + "\r\n";
    // Bcc recipients are only named in RCPT TO: a header would show them to
    // every recipient.
    const std::string subjectText = EncodeHeaderText(StripLineBreaks(subject), charset);
    target += subjectText.empty() ? "Subject:  " : "Subject: " + subjectText;
    target += "\r\n";
    target += "MIME-Version: 1.0\r\n";

    const char* transferEncoding = bodyEncoding == BodyEncoding::SevenBit  ? "7bit"
                                   : bodyEncoding == BodyEncoding::EightBit ? "8bit"
                                                                            : "base64";
    if (!attachments.empty()) {
        target += std::string("Content-Type: multipart/mixed; boundary=\"") + kMessageBoundary + "\"\r\n";
        target += "\r\n";
        target += std::string("--") + kMessageBoundary + "\r\n";
    }
    target += "Content-type: text/plain; charset=" + bodyCharset + "\r\n";
    target += std::string("Content-Transfer-Encoding: ") + transferEncoding + "\r\n";
    target += "\r\n";
}

std::uint64_t CSmtp::EstimatedMessageSize() const {
    // Close enough for the server's SIZE limit, which only has to stop a
    // mail that could never be taken; computed without reading any file.
    std::uint64_t size = 512 + subject.size() * 2 + senderName.size() * 2 + senderAddress.size() + replyTo.size() +
                         xMailer.size();
    for (const auto* list : {&toRecipients, &ccRecipients})
        for (const auto& recipient : *list) size += recipient.name.size() * 2 + recipient.address.size() + 4;
    for (const auto& line : messageLines) size += (line.size() + 2) * 4 / 3 + 2;
    for (const auto& path : attachments) {
        std::error_code error;
        const std::uint64_t bytes = std::filesystem::file_size(platform::filePath(path), error);
        if (!error) size += 256 + (bytes / kAttachmentChunk + 1) * 74;
    }
    return size;
}

void CSmtp::SendAttachments() {
    const std::string& charset = platform::textCharset();
    std::uint64_t totalBytes = 0;
    unsigned char chunk[kAttachmentChunk];
    for (const auto& path : attachments) {
        const std::string fileName = StripLineBreaks(fileNameOf(path));
        sendBuffer = std::string("--") + kMessageBoundary + "\r\n";
        sendBuffer += "Content-Type: application/x-msdownload; " + FileNameParameter("name", fileName, charset) + "\r\n";
        sendBuffer += "Content-Transfer-Encoding: base64\r\n";
        sendBuffer += "Content-Disposition: attachment; " + FileNameParameter("filename", fileName, charset) + "\r\n";
        sendBuffer += "\r\n";
        SendBufferText();

        File file(platform::openFile(path, "rb"));
        if (!file) throw ECSmtp(404);

        std::uint64_t size = 0;
        std::size_t n;
        while ((n = std::fread(chunk, 1, kAttachmentChunk, file.get())) > 0) size += n;
        // A path that opens but cannot be read (a directory) is no file.
        if (std::ferror(file.get())) throw ECSmtp(404);
        totalBytes += size;
        if (totalBytes / 1024 > kSizeLimitKiB) throw ECSmtp(405);

        std::rewind(file.get());
        const std::uint64_t chunks = size / kAttachmentChunk + 1;
        std::size_t pending = 0;
        for (std::uint64_t i = 0; i < chunks; ++i) {
            n = std::fread(chunk, 1, kAttachmentChunk, file.get());
            if (pending == 0) sendBuffer.clear();
            sendBuffer += Base64Encode(chunk, n);
            sendBuffer += "\r\n";
            pending += n + 2;
            if (pending >= kBatchThreshold) {
                SendBufferText();
                pending = 0;
            }
        }
        if (pending != 0) SendBufferText();
    }
}
