#include "app/core/MailAlerts.h"

#include "mail/MailAlertSink.h"

void MailAlerts::alert(const AlertEvent& event) {
    switch (event.kind) {
        case AlertKind::ServerDown:
        case AlertKind::Restarted:
        case AlertKind::BackoffMax:
            mail_.alert(MailAlertSink::Alert{event.message, event.subject, event.time});
            return;
        case AlertKind::StartFailed:
            // The checks log the failed start; no mail is sent for it.
            return;
    }
}
