#pragma once
// An alert sink that keeps what it is told, in order, for a test to read.
#include <string>
#include <vector>

#include "supervision/AlertSink.h"

class RecordingAlertSink : public AlertSink {
public:
    void alert(const AlertEvent& event) override { events.push_back(event); }

    std::vector<std::string> messages() const {
        std::vector<std::string> texts;
        for (const AlertEvent& event : events) texts.push_back(event.message);
        return texts;
    }
    // The messages of the events of one kind.
    std::vector<std::string> messages(AlertKind kind) const {
        std::vector<std::string> texts;
        for (const AlertEvent& event : events)
            if (event.kind == kind) texts.push_back(event.message);
        return texts;
    }
    std::vector<AlertKind> kinds() const {
        std::vector<AlertKind> all;
        for (const AlertEvent& event : events) all.push_back(event.kind);
        return all;
    }

    std::vector<AlertEvent> events;
};
