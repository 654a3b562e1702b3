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
    std::string tlsVersion;            // "TLSv1.3" when it came over TLS, else empty
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
// a free port, with one account; mail is accepted only after a successful
// login (unless the options say otherwise), bad credentials get 535. By default AUTH LOGIN and PLAIN are allowed
// on plain TCP; the options give it TLS (STARTTLS offered or required, or
// implicit TLS) with a certificate and key of the test's making, and can
// limit the mechanisms it offers. Every
// message is saved before the server answers the end of its data, so once a
// client's Send has returned the message is already visible here. The
// server process is killed when the object goes.
class SmtpTestServer {
public:
    enum class Security { Plain, StartTls, RequireStartTls, ImplicitTls };
    struct Options {
        std::string user = "alerts@example.test";
        std::string password = "s3cret pass";
        Security security = Security::Plain;
        std::string certificateFile;  // PEM, for every mode but Plain
        std::string keyFile;
        std::string mechanisms;  // e.g. "PLAIN"; empty: LOGIN and PLAIN
        bool eightBitMime = true;  // offer 8BITMIME
        bool requireAuth = true;   // false: mail is taken without a login (AUTH still offered)
    };

    // Starts the server and waits until it accepts connections; throws
    // std::runtime_error when it does not come up.
    explicit SmtpTestServer(Options options);
    explicit SmtpTestServer(std::string user = "alerts@example.test", std::string password = "s3cret pass");
    ~SmtpTestServer();
    SmtpTestServer(const SmtpTestServer&) = delete;
    SmtpTestServer& operator=(const SmtpTestServer&) = delete;

    const std::string& host() const { return host_; }  // "127.0.0.1"
    int port() const { return port_; }
    std::string portText() const { return std::to_string(port_); }
    const std::string& user() const { return options_.user; }
    const std::string& password() const { return options_.password; }

    // The messages received so far, in order of arrival.
    std::vector<ReceivedMessage> messages() const;

    // Waits until at least n messages have arrived or the time is up, and
    // returns all received so far (fewer than n after a time-out).
    std::vector<ReceivedMessage> waitForMessages(std::size_t n,
                                                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

    // What the server process wrote to its standard output and error.
    std::string serverLog() const;

    // The server name (SNI) of each TLS handshake, one a line; an empty line
    // for a handshake without one.
    std::string serverNamesSeen() const;

private:
    bool start(std::string& why);
    void stop();
    std::size_t countMessages() const;

    TempDir dir_;
    std::string host_ = "127.0.0.1";
    Options options_;
    int port_ = 0;
    int pid_ = 0;
};
