#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/SmtpSecurity.h"
#include "mail/MailDeadline.h"
#include "mail/SmtpCapabilities.h"
#include "platform/Sockets.h"

class MailAbort;
class MailConnection;

// The supervisor's own SMTP client. One object sends one message: configure
// it with the setters, call Send once, let it go. TCP over IPv4, protected
// by TLS as the security mode asks (implicit, or after STARTTLS), EHLO,
// AUTH LOGIN (AUTH PLAIN when that is all the server offers) when a login is
// set. Credentials go over a connection without TLS only in mode None. Every
// failure throws ECSmtp with its code and what the server or the system said.
class CSmtp {
public:
    struct Recipient {
        std::string name;  // display name, may be empty
        std::string address;
    };

    static constexpr std::size_t kBufferSize = 10240;
    static constexpr std::chrono::milliseconds kDefaultWaitLimit{10000};
    static constexpr std::chrono::milliseconds kDefaultOverallLimit{60000};
    static constexpr std::uint16_t kDefaultPort = 25;
    static constexpr std::uint16_t kImplicitTlsPort = 465;

    // Starts the socket library and reads the host name; throws 100, 101,
    // 107 or 408.
    CSmtp();
    virtual ~CSmtp();
    CSmtp(const CSmtp&) = delete;
    CSmtp& operator=(const CSmtp&) = delete;

    // Port 0 means the port of the service "mail", or 25 without one.
    void SetServer(const std::string& name, std::uint16_t port);
    // Empty: no AUTH at all, for a relay that takes mail without a login.
    void SetLogin(const std::string& text);
    void SetPassword(const std::string& text);
    void SetSenderName(const std::string& text);
    // Empty: "procward@" and this computer's host name, since a server takes
    // no mail from the empty address of a bounce.
    void SetSenderAddress(const std::string& text);
    void SetReplyTo(const std::string& text);
    void SetXMailer(const std::string& text);
    void SetSubject(const std::string& text);
    // 2 high, 3 normal, 4 low; any other value is written as normal.
    void SetPriority(int value);
    // Auto unless set. Auto sends no login over a connection without TLS: a
    // mail with a login then fails with 416 before AUTH.
    void SetSecurity(SmtpSecurity mode) { security = mode; }
    // Whether the server's certificate must be trusted and name the server;
    // on unless set. Off, any certificate is taken and a warning is kept.
    void SetTlsVerify(bool on) { tlsVerify = on; }

    // An empty address throws 206.
    void AddRecipient(const std::string& address, const std::string& name = "");
    void AddCcRecipient(const std::string& address, const std::string& name = "");
    void AddBccRecipient(const std::string& address, const std::string& name = "");
    void AddMessageLine(const std::string& text);
    void AddAttachment(const std::string& path);

    // The limit of every wait on the socket: connect, each read, each write.
    void SetWaitLimit(std::chrono::milliseconds limit) { waitLimit = limit; }
    // The limit of the whole exchange, from the connect to the reply to QUIT.
    void SetOverallLimit(std::chrono::milliseconds limit) { overallLimit = limit; }

    // Receives the conversation line by line: "S: " and each reply line,
    // "C: " and each command (credentials masked), "* " and a note of the
    // client's own (connection, TLS).
    void SetTranscript(std::function<void(const std::string&)> sink) { transcript = std::move(sink); }

    // Lets another thread cut the exchange short: it then fails with 414.
    void SetAbort(std::shared_ptr<MailAbort> handle) { abortHandle = std::move(handle); }

    // The body line at an index; at or beyond the number of lines throws 412.
    const std::string& GetMessageLine(std::size_t index) const;

    // Runs the whole exchange; returns when the server has taken the message
    // and said goodbye, throws ECSmtp otherwise.
    void Send();

    // What went wrong without stopping the mail, in the order it happened:
    // recipients the server refused while others were accepted, a TLS
    // session without certificate check, a password sent without TLS.
    const std::vector<std::string>& GetWarnings() const { return warnings; }

private:
    enum class BodyEncoding { SevenBit, EightBit, Base64 };

    // The address of MAIL FROM and the From header.
    std::string SenderAddress() const;
    // Chooses the body's charset and transfer encoding from its text and
    // what the server offers.
    void ChooseBodyEncoding();
    // Keeps the warning that the credentials about to be sent go without TLS.
    void WarnIfUnprotected();

    platform::SocketHandle ConnectToServer(const std::string& name, std::uint16_t port);
    void SendBufferText();
    // Writes a command into the send buffer and sends it; the transcript
    // shows `shownAs` instead when it is given.
    void SendCommand(const std::string& command, const char* shownAs = nullptr);
    // Reads one whole reply: every line of a multi-line reply.
    void ReceiveReply();
    // Reads one line, up to and including its LF, from the received bytes.
    std::string ReadLine();
    // The code of the reply's last line; -1 when it does not start with three
    // digits.
    int ReplyCode() const;
    // The reply's lines without their line ends, joined by blanks.
    std::string ReplyText() const;
    // Reads replies until one whose code is not 250 and returns that code.
    int SkipPendingOk();
    void Exchange();
    void StartTls();
    void Greet();
    void Authenticate();
    void SendRecipients();
    void SendMessageContent();
    void SendBody();
    void ComposeHeader(std::string& target) const;
    void SendAttachments();
    std::uint64_t EstimatedMessageSize() const;
    void Note(const std::string& line) const;
    void CloseConnection();

    std::string localHostName;
    std::string senderAddress;
    std::string senderName;
    std::string subject;
    std::string xMailer;
    std::string replyTo;
    std::string login;
    std::string password;
    std::string serverName;
    std::uint16_t serverPort = 0;
    int priority = 3;
    // The text of one send step. It starts with room for kBufferSize bytes and
    // grows for a longer step, which is sent whole.
    std::string sendBuffer;
    // The last reply line, NUL-terminated; at most kBufferSize - 1 bytes.
    std::unique_ptr<char[]> recvBuffer;
    platform::SocketHandle socketHandle = platform::kNoSocket;
    std::vector<Recipient> toRecipients;
    std::vector<Recipient> ccRecipients;
    std::vector<Recipient> bccRecipients;
    std::vector<std::string> attachments;
    std::vector<std::string> messageLines;

    platform::Sockets& sockets;
    std::chrono::milliseconds waitLimit = kDefaultWaitLimit;
    std::chrono::milliseconds overallLimit = kDefaultOverallLimit;
    SmtpSecurity security = SmtpSecurity::Auto;
    bool tlsVerify = true;
    std::function<void(const std::string&)> transcript;
    std::shared_ptr<MailAbort> abortHandle;

    // State of the exchange in progress.
    std::uint16_t targetPort = 0;  // the port connected to
    std::optional<MailDeadline> deadline;
    std::unique_ptr<MailConnection> connection;
    std::string received;                 // bytes received and not yet read as lines
    std::vector<std::string> replyLines;  // the last reply, without line ends
    SmtpCapabilities capabilities;
    BodyEncoding bodyEncoding = BodyEncoding::SevenBit;
    std::string bodyCharset = "US-ASCII";
    std::vector<std::string> warnings;
};
