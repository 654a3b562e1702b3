#include "app/core/MailAlerts.h"

#include "alerts/AlertText.h"
#include "mail/MailAlertSink.h"
#include "platform/System.h"
#include "supervision/ServerOutputFile.h"

namespace {

constexpr std::size_t kLongestLine = 500;

// A line of a program's output as a mail line: no control characters (a
// terminal's colour codes, a carriage return), at most 500 bytes.
std::string mailLine(const std::string& line) {
    std::string out = line.size() > kLongestLine ? line.substr(0, kLongestLine) + "..." : line;
    for (char& c : out)
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F) c = '?';
    return "  " + out;
}

}  // namespace

bool MailAlerts::aboutAnEnd(const AlertEvent& event) {
    return event.kind == AlertKind::ServerDown || event.kind == AlertKind::BackoffMax || !event.outputFile.empty() ||
           !event.outputNote.empty();
}

std::vector<std::string> MailAlerts::details(const AlertEvent& event, int outputLines, const std::string& host) {
    std::vector<std::string> lines;
    if (!aboutAnEnd(event)) return lines;
    lines.emplace_back();
    lines.push_back("Host: " + host);
    if (!event.reason.empty()) lines.push_back("Exit: " + event.reason);
    if (outputLines <= 0) return lines;
    if (event.outputFile.empty()) {
        if (!event.outputNote.empty()) lines.push_back("Output: " + event.outputNote);
        return lines;
    }
    const std::vector<std::string> tail =
        ServerOutputFile::lastLines(event.outputFile, static_cast<std::size_t>(outputLines), event.outputEnd);
    if (tail.empty()) {
        lines.push_back("Output: " + event.outputFile + " holds no lines");
        return lines;
    }
    lines.push_back("Last " + std::to_string(tail.size()) + " lines of " + event.outputFile + ":");
    for (const std::string& line : tail) lines.push_back(mailLine(line));
    return lines;
}

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
    if (aboutAnEnd(event)) {
        // Read when the mail goes, on the delivery thread: the loop never
        // reads a server's output.
        alert.details = [event, lines = mail_.settings().alertOutputLines] {
            std::string host;
            if (!platform::hostName(host)) host = "(unknown)";
            return details(event, lines, host);
        };
    }
    mail_.alert(alert);
}
