#include "app/core/MailAlerts.h"

#include "mail/MailAlertSink.h"

void MailAlerts::alert(const AlertEvent& event) {
    // A server that cannot be started is an error in the log; every alert
    // is mailed the same way, through the one minimum interval.
    mail_.alert(MailAlertSink::Alert{event.message, event.subject, event.time, event.kind == AlertKind::StartFailed});
}
