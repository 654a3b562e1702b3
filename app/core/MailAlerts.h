#pragma once
#include "supervision/AlertSink.h"

class MailAlertSink;

// The mail as one of the Supervisor's alert sinks: the events the mail's
// EVENTS= list selects (by default all but the supervisor's own start and
// stop) are mailed by the mail sink; every server event is logged there,
// one that could not be started as an error.
class MailAlerts : public AlertSink {
public:
    explicit MailAlerts(MailAlertSink& mail) : mail_(mail) {}

    void alert(const AlertEvent& event) override;

private:
    MailAlertSink& mail_;
};
