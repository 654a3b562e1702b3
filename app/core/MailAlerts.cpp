#include "app/core/MailAlerts.h"

#include "alerts/AlertText.h"
#include "mail/MailAlertSink.h"

void MailAlerts::alert(const AlertEvent& event) {
    // The supervisor's own start and end are in the log already; they are
    // only mailed when EVENTS= asks for them.
    const bool own = event.kind == AlertKind::ProcwardStarted || event.kind == AlertKind::ProcwardStopping;
    const bool selected = AlertSelected(mail_.settings().events, event.kind);
    if (own && !selected) return;
    // A server that cannot be started is an error in the log; every alert
    // is mailed the same way, through the one minimum interval.
    MailAlertSink::Alert alert{event.message, event.subject, event.time, event.kind == AlertKind::StartFailed,
                               AlertShortText(event)};
    alert.mailed = selected;
    mail_.alert(alert);
}
