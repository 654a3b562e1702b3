#include "mail/CSmtp.h"

#include <cstdio>
#include <ctime>
#include <new>

#include "mail/Base64.h"
#include "mail/ECSmtp.h"
#include "mail/MailClock.h"
#include "mail/MimeText.h"
#include "platform/System.h"
#include "platform/TextEncoding.h"

namespace {

constexpr const char* kMessageBoundary = "__MESSAGE__ID__54yg6f6h6y456345";
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::size_t kAttachmentChunk = 54;
constexpr std::size_t kBatchThreshold = 5120;
constexpr std::uint64_t kSizeLimitKiB = 5120;

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

platform::SocketHandle CSmtp::ConnectToServer(const std::string& name, std::uint16_t port) {
    const platform::SocketHandle socket = sockets.createStreamSocket();
    if (socket == platform::kNoSocket) throw ECSmtp(106);
    const auto fail = [&](int code) {
        sockets.close(socket);
        return ECSmtp(code);
    };

    std::uint16_t targetPort = port;
    if (targetPort == 0 && !sockets.servicePort("mail", targetPort)) targetPort = kDefaultPort;
    std::uint32_t address = 0;
    if (!sockets.resolveIPv4(name, address)) throw fail(105);
    if (!sockets.setNonBlocking(socket)) throw fail(108);

    switch (sockets.connect(socket, address, targetPort)) {
        case platform::ConnectStart::Connected: return socket;
        case platform::ConnectStart::Failed: throw fail(104);
        case platform::ConnectStart::InProgress: break;
    }
    switch (sockets.waitConnected(socket, waitLimit)) {
        case platform::ConnectWait::Connected: return socket;
        case platform::ConnectWait::TimedOut: throw fail(403);
        case platform::ConnectWait::Refused:
        case platform::ConnectWait::Failed: break;
    }
    throw fail(109);
}

void CSmtp::SendBufferText() {
    std::size_t sent = 0;
    while (sent < sendBuffer.size()) {
        switch (sockets.waitWritable(socketHandle, waitLimit)) {
            case platform::SocketWait::Ready: break;
            case platform::SocketWait::TimedOut: throw ECSmtp(402);
            case platform::SocketWait::Failed: throw ECSmtp(109);
        }
        const long n = sockets.send(socketHandle, sendBuffer.data() + sent, sendBuffer.size() - sent);
        if (n < 0) throw ECSmtp(102);
        // A count of 0 (no room yet) leads to another wait, so a step is
        // never cut short.
        sent += static_cast<std::size_t>(n);
    }
}

void CSmtp::ReceiveReply() {
    if (!recvBuffer) throw ECSmtp(410);
    std::size_t index = 0;
    for (;;) {
        switch (sockets.waitReadable(socketHandle, waitLimit)) {
            case platform::SocketWait::Ready: break;
            case platform::SocketWait::TimedOut: throw ECSmtp(402);
            case platform::SocketWait::Failed: throw ECSmtp(109);
        }
        if (index >= kBufferSize - 1) throw ECSmtp(408);
        const long n = sockets.receive(socketHandle, recvBuffer.get() + index, 1);
        if (n < 0) throw ECSmtp(103);
        if (n == 0) throw ECSmtp(400);
        if (recvBuffer[index++] == '\n') {
            recvBuffer[index] = '\0';
            return;
        }
    }
}

int CSmtp::ReplyCode() const {
    if (!recvBuffer) return 0;
    return 100 * (recvBuffer[0] - '0') + 10 * (recvBuffer[1] - '0') + (recvBuffer[2] - '0');
}

int CSmtp::SkipPendingOk() {
    do {
        ReceiveReply();
    } while (ReplyCode() == 250);
    return ReplyCode();
}

int CSmtp::ReadUntilOk() {
    int others = 0;
    for (;;) {
        ReceiveReply();
        if (ReplyCode() == 250) return others;
        ++others;
    }
}

void CSmtp::CloseConnection() {
    if (socketHandle == platform::kNoSocket) return;
    sockets.close(socketHandle);
    socketHandle = platform::kNoSocket;
}

void CSmtp::Send() {
    socketHandle = ConnectToServer(serverName, serverPort);
    try {
        Exchange();
    } catch (...) {
        CloseConnection();
        throw;
    }
    CloseConnection();
}

void CSmtp::Exchange() {
    ReceiveReply();
    if (ReplyCode() != 220) throw ECSmtp(401);

    sendBuffer = "EHLO " + localHostName + "\r\n";
    SendBufferText();
    ReceiveReply();
    if (ReplyCode() != 250) throw ECSmtp(301);

    sendBuffer = "AUTH LOGIN\r\n";
    SendBufferText();
    if (SkipPendingOk() != 334) throw ECSmtp(302);

    if (login.empty()) throw ECSmtp(204);
    sendBuffer = Base64Encode(login) + "\r\n";
    SendBufferText();
    ReceiveReply();
    if (ReplyCode() != 334) throw ECSmtp(407);

    if (password.empty()) throw ECSmtp(205);
    sendBuffer = Base64Encode(password) + "\r\n";
    SendBufferText();
    for (;;) {
        ReceiveReply();
        const int code = ReplyCode();
        if (code == 235) break;
        if (code == 334) continue;
        throw ECSmtp(code == 535 ? 406 : 407);
    }

    if (senderAddress.empty()) throw ECSmtp(201);
    sendBuffer = "MAIL FROM:<" + StripLineBreaks(senderAddress) + ">\r\n";
    SendBufferText();
    ReceiveReply();
    if (ReplyCode() != 250) throw ECSmtp(300);

    if (toRecipients.empty()) throw ECSmtp(203);
    long accepted = static_cast<long>(toRecipients.size());
    for (const auto& recipient : toRecipients) {
        sendBuffer = "RCPT TO:<" + StripLineBreaks(recipient.address) + ">\r\n";
        SendBufferText();
        accepted -= ReadUntilOk();
    }
    if (accepted == 0) throw ECSmtp(305);

    for (const auto* list : {&ccRecipients, &bccRecipients}) {
        for (const auto& recipient : *list) {
            sendBuffer = "RCPT TO:<" + StripLineBreaks(recipient.address) + ">\r\n";
            SendBufferText();
            ReadUntilOk();
        }
    }

    sendBuffer = "DATA\r\n";
    SendBufferText();
    if (SkipPendingOk() != 354) throw ECSmtp(303);

    SendMessageContent();

    sendBuffer = "\r\n.\r\n";
    SendBufferText();
    ReceiveReply();
    if (ReplyCode() != 250) throw ECSmtp(306);

    sendBuffer = "QUIT\r\n";
    SendBufferText();
    ReceiveReply();
    if (ReplyCode() != 221) throw ECSmtp(304);
}

void CSmtp::SendMessageContent() {
    ComposeHeader(sendBuffer);
    SendBufferText();

    if (messageLines.empty()) {
        sendBuffer = " \r\n";
        SendBufferText();
    } else {
        for (std::size_t i = 0; i < messageLines.size(); ++i) {
            sendBuffer = DataLines(GetMessageLine(i));
            SendBufferText();
        }
    }

    SendAttachments();

    if (!attachments.empty()) {
        sendBuffer = std::string("\r\n--") + kMessageBoundary + "--\r\n";
        SendBufferText();
    }
}

void CSmtp::ComposeHeader(std::string& target) const {
    const std::int64_t now = MailClockNow();
    if (now <= 0) throw ECSmtp(409);
    const std::time_t seconds = static_cast<std::time_t>(now);
    const std::tm* local = std::localtime(&seconds);
    if (!local) throw ECSmtp(409);
    if (toRecipients.empty()) throw ECSmtp(203);

    const std::string& charset = platform::textCharset();
    char date[96];
    std::snprintf(date, sizeof date, "Date: %d %s %d %d:%d:%d\r\n", local->tm_mday, kMonths[local->tm_mon],
                  local->tm_year + 1900, local->tm_hour, local->tm_min, local->tm_sec);
    target = date;

    if (senderAddress.empty()) throw ECSmtp(201);
    target += "From: ";
    target += EncodeHeaderText(StripLineBreaks(senderName), charset);
    target += " <" + StripLineBreaks(senderAddress) + ">\r\n";
    if (!xMailer.empty()) target += "X-Mailer: " + StripLineBreaks(xMailer) + "\r\n";
    if (!replyTo.empty()) target += "Reply-To: " + StripLineBreaks(replyTo) + "\r\n";
    target += priorityLine(priority);
    target += "To: " + recipientList(toRecipients) + "\r\n";
    if (!ccRecipients.empty()) target += "Cc: " + recipientList(ccRecipients) + "\r\n";
    if (!bccRecipients.empty()) target += "Bcc: " + recipientList(bccRecipients) + "\r\n";
    const std::string subjectText = EncodeHeaderText(StripLineBreaks(subject), charset);
    target += subjectText.empty() ? "Subject:  " : "Subject: " + subjectText;
    target += "\r\n";
    target += "MIME-Version: 1.0\r\n";

    bool eightBitBody = false;
    for (const auto& line : messageLines) eightBitBody = eightBitBody || HasEightBitBytes(line);
    const std::string textCharset = eightBitBody ? charset : "US-ASCII";
    const std::string transferEncoding = eightBitBody ? "8bit" : "7bit";
    if (attachments.empty()) {
        target += "Content-type: text/html; charset=" + textCharset + "\r\n";
        target += "Content-Transfer-Encoding: " + transferEncoding + "\r\n";
        target += "\r\n";
    } else {
        target += std::string("Content-Type: multipart/mixed; boundary=\"") + kMessageBoundary + "\"\r\n";
        target += "\r\n";
        target += std::string("--") + kMessageBoundary + "\r\n";
        target += "Content-type: text/plain; charset=" + textCharset + "\r\n";
        target += "Content-Transfer-Encoding: " + transferEncoding + "\r\n";
        target += "\r\n";
    }
}

void CSmtp::SendAttachments() {
    std::uint64_t totalBytes = 0;
    unsigned char chunk[kAttachmentChunk];
    for (const auto& path : attachments) {
        const std::string fileName = StripLineBreaks(fileNameOf(path));
        sendBuffer = std::string("--") + kMessageBoundary + "\r\n";
        sendBuffer += "Content-Type: application/x-msdownload; name=\"" + fileName + "\"\r\n";
        sendBuffer += "Content-Transfer-Encoding: base64\r\n";
        sendBuffer += "Content-Disposition: attachment; filename=\"" + fileName + "\"\r\n";
        sendBuffer += "\r\n";
        SendBufferText();

        File file(std::fopen(path.c_str(), "rb"));
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
