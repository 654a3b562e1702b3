#include "mail/AlertDispatch.h"

#include <new>

#include "config/AlertMailSettings.h"
#include "log/AppLogger.h"
#include "mail/AlertCounters.h"
#include "mail/AlertThrottle.h"
#include "mail/CSmtp.h"
#include "mail/ECSmtp.h"
#include "mail/MailClock.h"

std::uint16_t SmtpPortFromText(const std::string& text) {
    // As atoi reads it: leading white space, an optional sign, the digits
    // that follow; then only the low 16 bits count.
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    std::uint32_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = value * 10u + static_cast<std::uint32_t>(text[i] - '0');
    if (negative) value = 0u - value;
    return static_cast<std::uint16_t>(value & 0xFFFFu);
}

bool SendMail(std::string& errorText, std::string server, std::string port, std::string user,
              std::string password, std::string subject, std::string body, std::string recipients,
              std::string attachment) {
    try {
        CSmtp mail;
        mail.SetServer(server, SmtpPortFromText(port));
        mail.SetLogin(user);
        mail.SetPassword(password);
        mail.SetSenderName("26300 Tessera");
        mail.SetSenderAddress(user);
        mail.SetReplyTo(user);
        mail.SetPriority(3);
        mail.SetXMailer("The Bat! (v3.02) Professional");
        mail.SetSubject(subject);
        mail.AddMessageLine(body);

        if (recipients.empty()) return false;
        if (!attachment.empty()) mail.AddAttachment(attachment);

        std::string list = recipients;
        if (list.back() != ';') list += ';';
        std::size_t start = 0;
        for (std::size_t end = list.find(';'); end != std::string::npos; end = list.find(';', start)) {
            if (end > start) mail.AddRecipient(list.substr(start, end - start), "");
            start = end + 1;
        }

        mail.Send();
        return true;
    } catch (const ECSmtp& error) {
        errorText = error.GetErrorText();
        return false;
    } catch (const std::bad_alloc&) {
        errorText = ECSmtp(408).GetErrorText();
        return false;
    }
}

void SendAlertMail(std::string message, std::string subject) {
    const std::int64_t now = MailClockNow();
    auto& log = AppLogger::Instance().get();
    log.info("{}", message);
    if (!AlertThrottle::Process().Pass(now, AlertMailSettings.minAlertInterval)) {
        ++AlertCounters::process().suppressed;
        return;
    }

    std::string errorText;
    const AlertMailSettingsData settings = AlertMailSettings;
    if (!SendMail(errorText, settings.smtpServer, settings.smtpPort, settings.smtpUser, settings.smtpPassword,
                  subject, message, settings.smtpMailTo, "")) {
        ++AlertCounters::process().failed;
        log.error("Sending alert email error: {}", errorText);
    } else {
        ++AlertCounters::process().sent;
    }
}
