#pragma once
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/TempDir.h"

// One attachment of a received message, decoded by the mail parser.
struct ReceivedAttachment {
    std::string fileName;
    std::string contentType;
    std::string bytes;  // the decoded file content
};

// One message as a real SMTP server received it and Python's email package
// parsed it.
struct ReceivedMessage {
    std::string mailFrom;               // envelope sender (MAIL FROM)
    std::vector<std::string> rcptTos;   // envelope recipients (RCPT TO), in order
    std::string authLogin;              // the account the session logged in with
    std::string data;                   // the message bytes as received (dots already removed)
    std::vector<std::string> headerLines;  // raw header lines in order, without CR LF
    std::vector<std::pair<std::string, std::string>> headers;  // name, decoded value, in order
    bool hasSubject = false;
    std::string subject;  // decoded (RFC 2047 words joined)
    bool multipart = false;
    std::string body;     // text of the body (the first text part), decoded by its charset, line breaks as "\n"
    std::string bodyContentType;       // e.g. "text/html"
    std::string bodyCharset;           // lower case, e.g. "us-ascii", "utf-8"
    std::string bodyTransferEncoding;  // as declared, e.g. "7bit"
    std::vector<ReceivedAttachment> attachments;
    std::vector<std::string> defects;  // the parser's complaints (about a header: "Name: Defect")
    // Mailboxes of each address header (From, To, Cc, Reply-To, ...), keyed
    // by the lower-case header name: display name and address, decoded.
    std::vector<std::pair<std::string, std::pair<std::string, std::string>>> mailboxes;

    // Decoded value of the first header of that name (any case); empty when absent.
    std::string header(const std::string& name) const;
    // Display name and address of each mailbox of an address header.
    std::vector<std::pair<std::string, std::string>> addresses(const std::string& header) const;
    // The raw bytes after the blank line that ends the header.
    std::string rawBody() const;
};

// A real SMTP server (aiosmtpd, run with /usr/bin/python3) on 127.0.0.1 and
// a free port, with one account and AUTH LOGIN allowed on plain TCP; mail is
// accepted only after a successful login, bad credentials get 535. Every
// message is saved before the server answers the end of its data, so once a
// client's Send has returned the message is already visible here. The
// server process is killed when the object goes.
class SmtpTestServer {
public:
    // Starts the server and waits until it accepts connections; throws
    // std::runtime_error when it does not come up.
    explicit SmtpTestServer(std::string user = "alerts@example.test", std::string password = "s3cret pass");
    ~SmtpTestServer();
    SmtpTestServer(const SmtpTestServer&) = delete;
    SmtpTestServer& operator=(const SmtpTestServer&) = delete;

    const std::string& host() const { return host_; }  // "127.0.0.1"
    int port() const { return port_; }
    std::string portText() const { return std::to_string(port_); }
    const std::string& user() const { return user_; }
    const std::string& password() const { return password_; }

    // The messages received so far, in order of arrival.
    std::vector<ReceivedMessage> messages() const;

    // Waits until at least n messages have arrived or the time is up, and
    // returns all received so far (fewer than n after a time-out).
    std::vector<ReceivedMessage> waitForMessages(std::size_t n,
                                                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

    // What the server process wrote to its standard output and error.
    std::string serverLog() const;

private:
    bool start(std::string& why);
    void stop();
    std::size_t countMessages() const;

    TempDir dir_;
    std::string host_ = "127.0.0.1";
    std::string user_;
    std::string password_;
    int port_ = 0;
    int pid_ = 0;
};
