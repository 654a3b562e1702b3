#include "supervision/RecordView.h"

#include "supervision/MonitoredServer.h"

bool RecordView::update(const MonitoredServer& server) {
    bool changed = false;
    const auto keep = [&changed](auto& field, const auto& now) {
        if (field == now) return;
        field = now;
        changed = true;
    };
    keep(pid, server.info().pid);
    keep(ports, server.info().ports);
    keep(startTime, server.info().startTime);
    keep(autoStart, server.autoStart());
    keep(state, server.state());
    keep(nextRestart, server.nextRestart());
    keep(health, server.health());
    keep(healthReason, server.healthReason());
    const auto& exit = server.lastExit();
    keep(hasExit, exit.has_value());
    keep(lastExitTime, exit ? exit->time : std::int64_t{0});
    keep(startError, server.startError());
    keep(cleaningUp, server.cleaningUp());
    keep(captured, !server.capturedIn().empty());
    keep(outputWriter, server.outputWriter());
    keep(launches, server.launches());
    keep(restarts, server.restarts());
    keep(exits, server.exits(platform::ExitStatus::How::Code) + server.exits(platform::ExitStatus::How::Signal));
    keep(healthFailures, server.healthFailures());
    return changed || version == 0;
}
