#pragma once
#include <string>
#include <vector>

#include "supervision/AlertSink.h"

class MailAlertSink;

// The mail as one of the Supervisor's alert sinks: the events the mail's
// EVENTS= list selects (by default all but the supervisor's own start and
// stop) are mailed by the mail sink; every server event is logged there,
// one that could not be started as an error. The mail about a server whose
// process ended adds, after its first line, the machine's name, how the
// process ended and its last lines of output.
class MailAlerts : public AlertSink {
public:
    explicit MailAlerts(MailAlertSink& mail) : mail_(mail) {}

    void alert(const AlertEvent& event) override;

    // The lines added to the mail of `event`: a blank line, "Host: ...",
    // "Exit: ..." and the last `outputLines` lines of the server's output
    // (each indented by two blanks, control characters shown as "?"), or
    // why there are none. Empty for an alert that is not about an ended
    // process. Reads the output file: not for the loop's thread.
    static std::vector<std::string> details(const AlertEvent& event, int outputLines, const std::string& host);

    // Whether the alert is about a process that ended (gone down, failing,
    // or one that ended as soon as it was started).
    static bool aboutAnEnd(const AlertEvent& event);

private:
    MailAlertSink& mail_;
};
