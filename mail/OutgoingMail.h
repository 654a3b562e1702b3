#pragma once
#include <functional>
#include <string>
#include <vector>

#include "config/SmtpSecurity.h"
#include "mail/MailOutcome.h"

// One plain text mail to send, with the server settings to send it with,
// as the delivery thread takes it.
struct OutgoingMail {
    std::string server;
    std::string port;  // decimal text, read as atoi reads it
    std::string user;  // the login; also the sender and reply-to address unless `from` is set
    std::string from;  // the sender's address (SMTP_FROM); empty: the user
    std::string password;
    SmtpSecurity security = SmtpSecurity::Auto;
    bool tlsVerify = true;
    std::string subject;
    std::string body;
    std::string recipients;  // addresses separated by ";"
    std::string attachment;  // a file path, or empty
    // Lines after the body, gathered on the delivery thread just before the
    // mail is sent (they may read files); none when empty.
    std::function<std::vector<std::string>()> moreLines;

    // An alert: its failure is logged as "Sending alert email error: ...".
    bool alert = false;
    // Receives the SMTP conversation (see CSmtp::SetTranscript); runs on the
    // delivery thread.
    std::function<void(const std::string&)> transcript;
    // Called once with the outcome, whatever it is, on the delivery thread
    // (or on the thread that shut the delivery down, for a mail it never
    // tried). It must not touch a window.
    std::function<void(const MailOutcome&)> done;
};
