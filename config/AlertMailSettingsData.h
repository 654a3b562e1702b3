#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "config/SmtpSecurity.h"

// Every event name but "started" and "stopping".
std::vector<std::string> DefaultMailEvents();

// The alert-mail settings: where alert mails go and how often at most.
struct AlertMailSettingsData {
    std::string smtpServer;
    std::string smtpPort;  // decimal digits, kept as text
    std::string smtpUser;
    std::string smtpPassword;
    std::string smtpMailTo;  // addresses separated by ";"
    // SMTP_FROM: the sender's address; empty: SMTP_USER, else
    // procward@ and this computer's fully qualified name.
    std::string smtpFrom;
    std::int32_t minAlertInterval = 5;  // seconds
    SmtpSecurity smtpSecurity = SmtpSecurity::Auto;
    bool smtpTlsVerify = true;  // false: any server certificate is taken
    // EVENTS: the events mailed (names of AlertEventNames); by default all
    // but the supervisor's own start and stop.
    std::vector<std::string> events = DefaultMailEvents();
    // Lines of a server's own output an alert about it quotes (ALERT_OUTPUT_LINES); 0: none.
    std::int32_t alertOutputLines = 20;

    bool operator==(const AlertMailSettingsData&) const = default;
};
