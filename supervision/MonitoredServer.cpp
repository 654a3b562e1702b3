#include "supervision/MonitoredServer.h"

#include <cstdio>
#include <ctime>

#include "log/AppLogger.h"
#include "mail/AlertDispatch.h"
#include "platform/ProcessControl.h"
#include "platform/ProcessTable.h"
#include "platform/System.h"
#include "platform/TcpTable.h"
#include "supervision/ProcessDiscovery.h"

std::int32_t liveServerCount = 0;

namespace {
const char* const kAlertSubject = "26300 告警邮件";
const char* const kCaptionStop = "停止";
const char* const kCaptionStart = "启动";
// Time the launched server gets to open its listening sockets.
constexpr int kSettleMilliseconds = 210;
}  // namespace

MonitoredServer::MonitoredServer() { ++liveServerCount; }

MonitoredServer::~MonitoredServer() {
    row.reset();
    --liveServerCount;
}

std::int32_t MonitoredServer::findProcess() {
    MatchKeys keys;
    if (!formMatchKeys(info.processname, info.commandline, keys)) return 0;
    return findServerProcess(keys.exeName, keys.exePath, keys.arguments);
}

bool MonitoredServer::start() {
    autoStart = true;
    auto& log = AppLogger::Instance().get();
    log.info("Enabled autoStart mode for {}", info.name);
    if (info.pid >= 1) return false;

    int launchedPid = 0, error = 0;
    if (!platform::processControl().launch(info.commandline, launchedPid, error)) return false;

    const std::int32_t newPid = findProcess();
    if (newPid == 0) {
        // The server runs but its command line does not let it be found
        // again: end it, or every later check would launch one more copy.
        if (platform::processControl().terminate(launchedPid) == platform::TerminateResult::Terminated)
            log.error("{} was started (pid={}) but cannot be recognised by its command line; it was stopped again",
                      info.name, launchedPid);
        return false;
    }
    info.pid = newPid;
    platform::sleepMilliseconds(kSettleMilliseconds);
    info.ports = readListenAddress();
    readStartTime(info.startTime);
    SendAlertMail(info.name + " started successfully: pid=" + std::to_string(newPid), kAlertSubject);
    platform::processControl().closeConsoleHost(newPid);
    return true;
}

bool MonitoredServer::stop(bool keepAutoStart) {
    if (info.pid == 0) return false;
    const platform::TerminateResult result = platform::processControl().terminate(info.pid);
    if (result == platform::TerminateResult::CannotOpen) return false;
    const bool ok = result == platform::TerminateResult::Terminated;
    if (ok) {
        info.pid = 0;
        info.ports.clear();
        info.startTime = 0;
    }
    autoStart = keepAutoStart;
    if (!keepAutoStart) AppLogger::Instance().get().info("Disabled autoStart mode for {}", info.name);
    return ok;
}

std::string MonitoredServer::readListenAddress() {
    if (info.pid == 0) return {};
    std::vector<platform::TcpListener> listeners;
    if (!platform::tcpTable().listenersOf(info.pid, listeners) || listeners.empty()) return {};
    const platform::TcpListener& last = listeners.back();
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u:%u", (last.localAddress >> 24) & 0xFF,
                  (last.localAddress >> 16) & 0xFF, (last.localAddress >> 8) & 0xFF, last.localAddress & 0xFF,
                  static_cast<unsigned>(last.localPort));
    return text;
}

void MonitoredServer::readStartTime(std::int64_t& startTime) {
    if (info.pid == 0) return;
    std::int64_t seconds = 0;
    if (platform::processTable().startTime(info.pid, seconds) && seconds > 0) startTime = seconds;
}

bool MonitoredServer::checkStatus() {
    bool changed = false;
    const std::int32_t found = findProcess();
    const std::string oldPorts = info.ports;
    if (found != info.pid) {
        changed = true;
        if (found == 0 && autoStart)
            SendAlertMail(info.name + ": service not working，it will be restarted right away!", kAlertSubject);
    }
    info.pid = found;
    if (found == 0 && autoStart) {
        const bool ok = start();
        AppLogger::Instance().get().info("service is closed, autoStart {} {}", info.name, ok);
        if (ok) return true;  // start read ports and start time itself; pid changed
    }
    info.ports = readListenAddress();
    readStartTime(info.startTime);
    if (found != info.pid || info.ports != oldPorts) changed = true;
    return changed;
}

bool MonitoredServer::createRow(RowHost* parent) {
    if (rowCreated) return true;
    checkStatus();
    parentWnd = parent;
    if (parent) row = parent->createRowView(info.index, info.name, info.commandline, rowCells());
    rowCreated = true;
    return true;
}

void MonitoredServer::refreshRow() {
    if (!rowCreated || !row) return;
    row->update(rowCells());
}

RowCells MonitoredServer::rowCells() const {
    RowCells cells;
    cells.pid = info.pid > 0 ? std::to_string(info.pid) : std::string();
    cells.ports = info.ports;
    cells.startTime = formatStartTime(info.startTime);
    cells.startStopCaption = info.pid > 0 ? kCaptionStop : kCaptionStart;
    cells.downWithAutoStart = info.pid <= 0 && autoStart;
    return cells;
}

std::string formatStartTime(std::int64_t startTime) {
    if (startTime == 0) return {};
    const std::time_t t = static_cast<std::time_t>(startTime);
    std::tm local{};
    if (!localtime_r(&t, &local)) return {};
    char text[128];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return std::string(text, n);
}
