#pragma once

// What the service's own code tells the service control manager, for the
// ServiceManager notifications; nothing unless runAsService runs.
namespace platform::win32service {

// Start-up has ended: SERVICE_RUNNING.
void reportRunning();
// The supervisor is ending: SERVICE_STOP_PENDING with the wait hint.
void reportStopping();

// How long the manager is told a start or a stop may take.
constexpr unsigned long kStartWaitHintMs = 60000;
constexpr unsigned long kStopWaitHintMs = 30000;

}  // namespace platform::win32service
