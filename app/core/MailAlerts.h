#pragma once
#include "supervision/AlertSink.h"

class MailAlertSink;

// The mail as one of the Supervisor's alert sinks: a server that went down,
// one that was started, and one that keeps failing are mailed (and logged)
// by the mail sink; a failed launch is not mailed.
class MailAlerts : public AlertSink {
public:
    explicit MailAlerts(MailAlertSink& mail) : mail_(mail) {}

    void alert(const AlertEvent& event) override;

private:
    MailAlertSink& mail_;
};
