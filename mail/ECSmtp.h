#pragma once
#include <string>

// The one error of the SMTP client: a numeric code with a fixed text.
// 1xx socket library and network, 2xx missing message data, 3xx a command
// the server refused, 4xx server behaviour, local resources and limits.
class ECSmtp {
public:
    explicit ECSmtp(int code) : errorCode(code) {}

    int GetErrorCode() const { return errorCode; }

    // The code's text; "Undefined error id" for a code without one.
    std::string GetErrorText() const;

private:
    int errorCode;
};
