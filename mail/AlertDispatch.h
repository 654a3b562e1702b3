#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "mail/MailOutcome.h"
#include "mail/OutgoingMail.h"

class MailAbort;

// Sends one mail now, on the calling thread, through a new SMTP client.
// Never throws. A mail without recipients fails with an empty error text
// and no connection. `abort`, when given, lets another thread cut it short.
MailOutcome DeliverMail(const OutgoingMail& mail, std::shared_ptr<MailAbort> abort = {});

// Sends one plain text mail with the given server settings (automatic TLS,
// certificate checked) on the calling thread. Never throws: on failure it
// returns false with the client's error text in errorText (left as it was
// when the recipient list is empty).
bool SendMail(std::string& errorText, std::string server, std::string port, std::string user,
              std::string password, std::string subject, std::string body, std::string recipients,
              std::string attachment);

struct AlertMailSettingsData;  // config/AlertMailSettingsData.h

// A mail with `subject` and `body` to the recipients of `settings`, through
// their server, as its user, with their security.
OutgoingMail MailThrough(const AlertMailSettingsData& settings, std::string subject, std::string body);

// The test mail (fixed subject and body) through `settings`.
OutgoingMail TestMailThrough(const AlertMailSettingsData& settings);

// The port of a decimal port text as atoi reads it (leading digits, 0 when
// there are none), kept in its low 16 bits.
std::uint16_t SmtpPortFromText(const std::string& text);
