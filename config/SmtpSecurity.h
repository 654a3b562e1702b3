#pragma once
#include <string_view>

// How an alert mail protects its connection to the SMTP server.
enum class SmtpSecurity {
    Auto,      // implicit TLS on port 465, else STARTTLS when offered, else plain without a login
    StartTls,  // STARTTLS required: no login on a server that does not offer it
    Tls,       // implicit TLS from the first byte
    None,      // plain TCP, a login in the clear included
};

// The settings file's name of a mode: "auto", "starttls", "tls", "none".
const char* SmtpSecurityName(SmtpSecurity security);

// A mode from its name, ASCII letters in any case, blanks around it ignored.
// False, with `security` untouched, for any other text.
bool ParseSmtpSecurity(std::string_view text, SmtpSecurity& security);
