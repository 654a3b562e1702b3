#pragma once
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Sockets.h"

// The supervisor's own SMTP client. One object sends one message: configure
// it with the setters, call Send once, let it go. Plain TCP over IPv4, EHLO,
// AUTH LOGIN always. Every failure throws ECSmtp with its code.
class CSmtp {
public:
    struct Recipient {
        std::string name;  // display name, may be empty
        std::string address;
    };

    static constexpr std::size_t kBufferSize = 10240;
    static constexpr std::chrono::milliseconds kDefaultWaitLimit{10000};
    static constexpr std::uint16_t kDefaultPort = 25;

    // Starts the socket library and reads the host name; throws 100, 101,
    // 107 or 408.
    CSmtp();
    virtual ~CSmtp();
    CSmtp(const CSmtp&) = delete;
    CSmtp& operator=(const CSmtp&) = delete;

    // Port 0 means the port of the service "mail", or 25 without one.
    void SetServer(const std::string& name, std::uint16_t port);
    void SetLogin(const std::string& text);
    void SetPassword(const std::string& text);
    void SetSenderName(const std::string& text);
    void SetSenderAddress(const std::string& text);
    void SetReplyTo(const std::string& text);
    void SetXMailer(const std::string& text);
    void SetSubject(const std::string& text);
    // 2 high, 3 normal, 4 low; any other value is written as normal.
    void SetPriority(int value);

    // An empty address throws 206.
    void AddRecipient(const std::string& address, const std::string& name = "");
    void AddCcRecipient(const std::string& address, const std::string& name = "");
    void AddBccRecipient(const std::string& address, const std::string& name = "");
    void AddMessageLine(const std::string& text);
    void AddAttachment(const std::string& path);

    // The limit of every wait on the socket: connect, each read, each write.
    void SetWaitLimit(std::chrono::milliseconds limit) { waitLimit = limit; }

    // The body line at an index; at or beyond the number of lines throws 412.
    const std::string& GetMessageLine(std::size_t index) const;

    // Runs the whole exchange; returns when the server has taken the message
    // and said goodbye, throws ECSmtp otherwise.
    void Send();

private:
    platform::SocketHandle ConnectToServer(const std::string& name, std::uint16_t port);
    void SendBufferText();
    void ReceiveReply();
    int ReplyCode() const;
    // Reads lines until one whose code is not 250 and returns that code.
    int SkipPendingOk();
    // Reads lines until one with code 250; returns how many other lines came.
    int ReadUntilOk();
    void Exchange();
    void SendMessageContent();
    void ComposeHeader(std::string& target) const;
    void SendAttachments();
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
};
