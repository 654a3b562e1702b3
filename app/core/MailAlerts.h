#pragma once
#include "supervision/AlertSink.h"

class MailAlertSink;

// The mail as one of the Supervisor's alert sinks: a server that went down,
// one that was started, one that could not be started (logged as an error)
// and one that keeps failing are mailed (and logged) by the mail sink.
class MailAlerts : public AlertSink {
public:
    explicit MailAlerts(MailAlertSink& mail) : mail_(mail) {}

    void alert(const AlertEvent& event) override;

private:
    MailAlertSink& mail_;
};
