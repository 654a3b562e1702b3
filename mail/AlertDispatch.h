#pragma once
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
