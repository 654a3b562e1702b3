#include "mail/AlertDispatch.h"

#include <exception>
#include <new>

#include "config/AlertMailSettingsData.h"
#include "mail/CSmtp.h"
#include "mail/ECSmtp.h"
#include "mail/MailAbort.h"

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

MailOutcome DeliverMail(const OutgoingMail& mail, std::shared_ptr<MailAbort> abort) {
    MailOutcome outcome;
    std::unique_ptr<CSmtp> client;
    try {
        client = std::make_unique<CSmtp>();
        client->SetServer(mail.server, SmtpPortFromText(mail.port));
        client->SetSecurity(mail.security);
        client->SetTlsVerify(mail.tlsVerify);
        client->SetTranscript(mail.transcript);
        client->SetAbort(std::move(abort));
        client->SetLogin(mail.user);
        client->SetPassword(mail.password);
        client->SetSenderName("26300 Tessera");
        // The sender is SMTP_FROM when it is set, else the account (and
        // without one, procward@ and this computer's name: CSmtp's default).
        const std::string& sender = mail.from.empty() ? mail.user : mail.from;
        client->SetSenderAddress(sender);
        client->SetReplyTo(sender);
        client->SetPriority(3);
        client->SetXMailer("The Bat! (v3.02) Professional");
        client->SetSubject(mail.subject);
        client->AddMessageLine(mail.body);
        if (mail.moreLines)
            for (const std::string& line : mail.moreLines()) client->AddMessageLine(line);

        if (mail.recipients.empty()) return outcome;
        if (!mail.attachment.empty()) client->AddAttachment(mail.attachment);

        std::string list = mail.recipients;
        if (list.back() != ';') list += ';';
        std::size_t start = 0;
        for (std::size_t end = list.find(';'); end != std::string::npos; end = list.find(';', start)) {
            if (end > start) client->AddRecipient(list.substr(start, end - start), "");
            start = end + 1;
        }

        client->Send();
        outcome.status = MailOutcome::Status::Sent;
    } catch (const ECSmtp& error) {
        outcome.errorText = error.GetErrorText();
    } catch (const std::bad_alloc&) {
        outcome.errorText = ECSmtp(408).GetErrorText();
    } catch (const std::exception& error) {
        outcome.errorText = error.what();
    }
    if (client) outcome.warnings = client->GetWarnings();
    return outcome;
}

bool SendMail(std::string& errorText, std::string server, std::string port, std::string user,
              std::string password, std::string subject, std::string body, std::string recipients,
              std::string attachment) {
    OutgoingMail mail;
    mail.server = std::move(server);
    mail.port = std::move(port);
    mail.user = std::move(user);
    mail.password = std::move(password);
    mail.subject = std::move(subject);
    mail.body = std::move(body);
    mail.recipients = std::move(recipients);
    mail.attachment = std::move(attachment);
    const MailOutcome outcome = DeliverMail(mail);
    if (!outcome.sent() && !outcome.errorText.empty()) errorText = outcome.errorText;
    return outcome.sent();
}

OutgoingMail MailThrough(const AlertMailSettingsData& settings, std::string subject, std::string body) {
    OutgoingMail mail;
    mail.server = settings.smtpServer;
    mail.port = settings.smtpPort;
    mail.user = settings.smtpUser;
    mail.password = settings.smtpPassword;
    mail.security = settings.smtpSecurity;
    mail.tlsVerify = settings.smtpTlsVerify;
    mail.subject = std::move(subject);
    mail.body = std::move(body);
    mail.recipients = settings.smtpMailTo;
    mail.from = settings.smtpFrom;
    return mail;
}

OutgoingMail TestMailThrough(const AlertMailSettingsData& settings) {
    return MailThrough(settings, "Tessera SMTP test mail", "SMTP Setting Test Mail");
}
