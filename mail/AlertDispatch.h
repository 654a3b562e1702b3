#pragma once
#include <cstdint>
#include <string>

// Sends one plain text mail with the given server settings through a new
// SMTP client. Never throws: on failure it returns false with the client's
// error text in errorText (left as it was when the recipient list is empty).
bool SendMail(std::string& errorText, std::string server, std::string port, std::string user,
              std::string password, std::string subject, std::string body, std::string recipients,
              std::string attachment);

// Logs an alert and mails it with the current AlertMailSettings, no more
// often than their minimum interval allows.
void SendAlertMail(std::string message, std::string subject);

// The port of a decimal port text as atoi reads it (leading digits, 0 when
// there are none), kept in its low 16 bits.
std::uint16_t SmtpPortFromText(const std::string& text);
