#include "mail/ECSmtp.h"

namespace {

// How a detail joins the text: a server's reply in parentheses after it, a
// reason after a colon.
enum class Join { Reply, Reason };

struct ErrorEntry {
    int code;
    const char* text;
    Join join;
};

// The texts of the plain exchange are fixed and quoted exactly as the mail
// client has always reported them, spelling included.
constexpr ErrorEntry kErrors[] = {
    {0, "", Join::Reply},
    {100, "Unable to initialise winsock2", Join::Reason},
    {101, "Wrong version of the winsock2", Join::Reason},
    {102, "Function send() failed", Join::Reason},
    {103, "Function recv() failed", Join::Reason},
    {104, "Function connect failed", Join::Reason},
    {105, "Unable to determine remote server", Join::Reason},
    {106, "Invalid winsock2 socket", Join::Reason},
    {107, "Function hostname() failed", Join::Reason},
    {108, "Function ioctlsocket() failed", Join::Reason},
    {109, "Cannot connect to the mail server", Join::Reason},
    {110, "Improper IPv4 address", Join::Reason},
    {200, "Undefined message header", Join::Reply},
    {201, "Undefined mail sender", Join::Reply},
    {202, "Undefined message subject", Join::Reply},
    {203, "Undefined at least one reciepent", Join::Reply},
    {204, "Undefined user login", Join::Reply},
    {205, "Undefined user password", Join::Reply},
    {206, "Undefined recipent mail", Join::Reply},
    {300, "Server returned error after sending MAIL FROM", Join::Reply},
    {301, "Server returned error after sending EHLO", Join::Reply},
    {302, "Server returned error after sending AUTH LOGIN", Join::Reply},
    {303, "Server returned error after sending DATA", Join::Reply},
    {304, "Server returned error after sending QUIT", Join::Reply},
    {305, "Server returned error after sending RCPT TO", Join::Reply},
    {306, "Error in message body", Join::Reply},
    {307, "Server returned error after sending AUTH PLAIN", Join::Reply},
    {400, "Server has closed the connection", Join::Reply},
    {401, "Server is not ready", Join::Reply},
    {402, "Server not responding", Join::Reply},
    {403, "Connection to the mail server timed out", Join::Reply},
    {404, "File not exist", Join::Reply},
    {405, "Message is too big", Join::Reply},
    {406, "Bad login or password", Join::Reply},
    {407, "Undefined xyz SMTP response", Join::Reply},
    {408, "Lack of memory", Join::Reply},
    {409, "time() error", Join::Reply},
    {410, "RecvBuf is empty", Join::Reply},
    {411, "SendBuf is empty", Join::Reply},
    {412, "Specified line number is out of message size", Join::Reply},
    {413, "Mail server too slow: the mail was not sent within the time allowed", Join::Reply},
    {414, "Mail not sent: delivery was cancelled because the program is ending", Join::Reply},
    {415, "Message is larger than the mail server accepts", Join::Reply},
    {416,
     "The mail server offers no TLS; the password is not sent over an unprotected connection (set "
     "SMTP_SECURITY=none to allow it)",
     Join::Reply},
    {500, "TLS is not available", Join::Reason},
    {501, "TLS handshake failed", Join::Reason},
    {502, "Server certificate not trusted", Join::Reason},
    {503, "Server certificate does not match the host name", Join::Reason},
    {504, "Server does not offer STARTTLS, which the settings require", Join::Reply},
    {505, "Server refused STARTTLS", Join::Reply},
    {506, "TLS connection failed", Join::Reason},
};

const ErrorEntry* entryOf(int code) {
    for (const auto& entry : kErrors)
        if (entry.code == code) return &entry;
    return nullptr;
}

}  // namespace

std::string ECSmtp::TextOf(int code) {
    const ErrorEntry* entry = entryOf(code);
    return entry ? entry->text : "Undefined error id";
}

std::string ECSmtp::GetErrorText() const {
    const ErrorEntry* entry = entryOf(errorCode);
    std::string text = entry ? entry->text : "Undefined error id";
    if (errorDetail.empty()) return text;
    if (entry && entry->join == Join::Reason) return text + ": " + errorDetail;
    return text + " (" + errorDetail + ")";
}
