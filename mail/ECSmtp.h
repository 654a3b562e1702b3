#pragma once
#include <string>

// The one error of the SMTP client: a numeric code with a fixed text, and
// what is known of the cause: the server's reply to the refused command, or
// the reason the system or the TLS library gave.
// 1xx socket library and network, 2xx missing message data, 3xx a command
// the server refused, 4xx server behaviour, local resources and limits,
// 5xx transport security (TLS).
class ECSmtp {
public:
    explicit ECSmtp(int code, std::string detail = {}) : errorCode(code), errorDetail(std::move(detail)) {}

    int GetErrorCode() const { return errorCode; }

    // The server's reply or the reason; empty when there is none.
    const std::string& GetDetail() const { return errorDetail; }

    // The code's text, with the detail after it when there is one:
    // "Server returned error after sending RCPT TO (550 5.1.1 no such user)",
    // "Cannot connect to the mail server: Connection refused".
    // "Undefined error id" for a code without a text.
    std::string GetErrorText() const;

    // The code's fixed text alone.
    static std::string TextOf(int code);

private:
    int errorCode;
    std::string errorDetail;
};
