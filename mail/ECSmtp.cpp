#include "mail/ECSmtp.h"

namespace {

struct ErrorEntry {
    int code;
    const char* text;
};

// The texts are fixed and quoted exactly as the mail client has always
// reported them, spelling included.
constexpr ErrorEntry kErrors[] = {
    {0, ""},
    {100, "Unable to initialise winsock2"},
    {101, "Wrong version of the winsock2"},
    {102, "Function send() failed"},
    {103, "Function recv() failed"},
    {104, "Function connect failed"},
    {105, "Unable to determine remote server"},
    {106, "Invalid winsock2 socket"},
    {107, "Function hostname() failed"},
    {108, "Function ioctlsocket() failed"},
    {110, "Improper IPv4 address"},
    {200, "Undefined message header"},
    {201, "Undefined mail sender"},
    {202, "Undefined message subject"},
    {203, "Undefined at least one reciepent"},
    {204, "Undefined user login"},
    {205, "Undefined user password"},
    {206, "Undefined recipent mail"},
    {300, "Server returned error after sending MAIL FROM"},
    {301, "Server returned error after sending EHLO"},
    {302, "Server returned error after sending AUTH LOGIN"},
    {303, "Server returned error after sending DATA"},
    {304, "Server returned error after sending QUIT"},
    {305, "Server returned error after sending RCPT TO"},
    {306, "Error in message body"},
    {400, "Server has closed the connection"},
    {401, "Server is not ready"},
    {402, "Server not responding"},
    {404, "File not exist"},
    {405, "Message is too big"},
    {406, "Bad login or password"},
    {407, "Undefined xyz SMTP response"},
    {408, "Lack of memory"},
    {409, "time() error"},
    {410, "RecvBuf is empty"},
    {411, "SendBuf is empty"},
    {412, "Specified line number is out of message size"},
};

}  // namespace

std::string ECSmtp::GetErrorText() const {
    for (const auto& entry : kErrors)
        if (entry.code == errorCode) return entry.text;
    return "Undefined error id";
}
