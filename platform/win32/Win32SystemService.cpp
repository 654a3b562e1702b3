#include "platform/win32/Win32SystemService.h"

#include <windows.h>
#include <sddl.h>
#include <shlobj.h>
#include <winsvc.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/SystemService.h"
#include "platform/System.h"
#include "platform/win32/Win32Autostart.h"
#include "platform/win32/Win32StopRequest.h"
#include "platform/win32/Win32WideText.h"

namespace platform {
namespace {

const char* const kEventLogKey = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

struct RunningService {
    std::mutex mutex;
    std::string name;
    const std::function<int()>* body = nullptr;
    SERVICE_STATUS_HANDLE handle = nullptr;
    SERVICE_STATUS status{};
    int exitCode = 0;
    std::atomic<bool> running{false};
};

RunningService& service() {
    static RunningService instance;
    return instance;
}

void report(DWORD state, DWORD waitHint, int exitCode = 0) {
    RunningService& s = service();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.handle) return;
    // Once stopping, no later report may say it runs again.
    if (s.status.dwCurrentState == SERVICE_STOP_PENDING && state == SERVICE_RUNNING) return;
    s.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    s.status.dwCurrentState = state;
    s.status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    s.status.dwWin32ExitCode = exitCode == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    s.status.dwServiceSpecificExitCode = static_cast<DWORD>(exitCode);
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    s.status.dwCheckPoint = pending ? s.status.dwCheckPoint + 1 : 0;
    s.status.dwWaitHint = waitHint;
    ::SetServiceStatus(s.handle, &s.status);
}

DWORD WINAPI onServiceControl(DWORD control, DWORD, LPVOID, LPVOID) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            // The servers are left running; the next start finds them.
            report(SERVICE_STOP_PENDING, win32service::kStopWaitHintMs);
            win32stop::request(control == SERVICE_CONTROL_STOP ? "service stop" : "system shutdown");
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI serviceMain(DWORD, LPSTR*) {
    RunningService& s = service();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.handle = ::RegisterServiceCtrlHandlerExA(s.name.c_str(), onServiceControl, nullptr);
        if (!s.handle) return;
    }
    report(SERVICE_START_PENDING, win32service::kStartWaitHintMs);
    s.running = true;
    s.exitCode = (*s.body)();
    s.running = false;
    report(SERVICE_STOPPED, 0, s.exitCode);
}

ServiceCall failed(DWORD code, const std::string& what, std::string& error) {
    if (code == ERROR_ACCESS_DENIED) {
        error = what + ": administrator rights are needed (run it from an elevated command prompt)";
        return ServiceCall::NotPermitted;
    }
    error = what + ": " + errorText(static_cast<int>(code));
    return ServiceCall::Failed;
}

// Closes a service manager handle at the end of a scope.
struct ServiceHandle {
    SC_HANDLE handle = nullptr;
    explicit ServiceHandle(SC_HANDLE h) : handle(h) {}
    ~ServiceHandle() {
        if (handle) ::CloseServiceHandle(handle);
    }
    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;
    explicit operator bool() const { return handle != nullptr; }
};

std::string stateName(DWORD state) {
    switch (state) {
        case SERVICE_STOPPED: return "stopped";
        case SERVICE_START_PENDING: return "starting";
        case SERVICE_STOP_PENDING: return "stopping";
        case SERVICE_RUNNING: return "running";
        default: return "in state " + std::to_string(state);
    }
}

// Waits until the service has left `pending` (up to `waitMs`); its status
// at the end, false when it could not be asked.
bool waitWhile(SC_HANDLE handle, DWORD pending, int waitMs, SERVICE_STATUS_PROCESS& status) {
    const ULONGLONG end = ::GetTickCount64() + static_cast<ULONGLONG>(waitMs > 0 ? waitMs : 0);
    for (;;) {
        DWORD size = 0;
        if (!::QueryServiceStatusEx(handle, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status), sizeof status,
                                    &size))
            return false;
        if (status.dwCurrentState != pending || ::GetTickCount64() >= end) return true;
        ::Sleep(100);
    }
}

bool createPrivate(const std::string& path, PSECURITY_DESCRIPTOR descriptor, DWORD& error) {
    const DWORD attributes = ::GetFileAttributesW(wideText(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) return true;
        error = ERROR_DIRECTORY;
        return false;
    }
    const auto slash = path.find_last_of("\\/");
    if (slash != std::string::npos && slash > 2 && !createPrivate(path.substr(0, slash), nullptr, error))
        return false;
    SECURITY_ATTRIBUTES security{sizeof security, descriptor, FALSE};
    if (::CreateDirectoryW(wideText(path).c_str(), descriptor ? &security : nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS)
        return true;
    error = ::GetLastError();
    return false;
}

}  // namespace

namespace win32service {

void reportRunning() { report(SERVICE_RUNNING, 0); }

void reportStopping() { report(SERVICE_STOP_PENDING, kStopWaitHintMs); }

}  // namespace win32service

ServiceCall installService(const ServiceDefinition& definition, const std::string& eventSource, std::string& error) {
    error.clear();
    ServiceHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!manager) return failed(::GetLastError(), "cannot open the service manager", error);
    const std::string command = Win32Autostart::commandText(definition.program, definition.arguments);
    // The command is stored wide: the program's folder may hold characters
    // outside the ANSI code page.
    const std::wstring wideCommand = wideText(command), wideName = wideText(definition.name),
                       wideDisplayName = wideText(definition.displayName);
    ServiceHandle created(::CreateServiceW(manager.handle, wideName.c_str(), wideDisplayName.c_str(),
                                           SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                           SERVICE_ERROR_NORMAL, wideCommand.c_str(), nullptr, nullptr, nullptr,
                                           nullptr, nullptr));
    SC_HANDLE handle = created.handle;
    ServiceHandle existing(nullptr);
    if (!handle) {
        const DWORD code = ::GetLastError();
        if (code != ERROR_SERVICE_EXISTS) return failed(code, "cannot register the service", error);
        // Installed before: it now starts this program with these arguments.
        existing.handle = ::OpenServiceW(manager.handle, wideName.c_str(), SERVICE_ALL_ACCESS);
        if (!existing) return failed(::GetLastError(), "cannot open the service " + definition.name, error);
        if (!::ChangeServiceConfigW(existing.handle, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                    SERVICE_ERROR_NORMAL, wideCommand.c_str(), nullptr, nullptr, nullptr, nullptr,
                                    nullptr, wideDisplayName.c_str()))
            return failed(::GetLastError(), "cannot change the service " + definition.name, error);
        handle = existing.handle;
    }
    std::wstring description = wideText(definition.description);
    SERVICE_DESCRIPTIONW text{description.data()};
    if (!::ChangeServiceConfig2W(handle, SERVICE_CONFIG_DESCRIPTION, &text))
        return failed(::GetLastError(), "cannot set the service's description", error);
    // Restarted after a failure: at once twice, then after a minute; the
    // count starts again after a day without one.
    SC_ACTION actions[3] = {{SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 60000}};
    SERVICE_FAILURE_ACTIONSA failure{};
    failure.dwResetPeriod = 86400;
    failure.cActions = 3;
    failure.lpsaActions = actions;
    if (!::ChangeServiceConfig2A(handle, SERVICE_CONFIG_FAILURE_ACTIONS, &failure))
        return failed(::GetLastError(), "cannot set the service's recovery actions", error);
    // An end with an error code (the list unreadable, the log unwritable)
    // counts as a failure too, not only a crash.
    SERVICE_FAILURE_ACTIONS_FLAG onError{TRUE};
    ::ChangeServiceConfig2A(handle, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onError);

    HKEY key = nullptr;
    const LONG opened = ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, (kEventLogKey + eventSource).c_str(), 0, nullptr, 0,
                                          KEY_SET_VALUE, nullptr, &key, nullptr);
    if (opened != ERROR_SUCCESS)
        return failed(static_cast<DWORD>(opened), "cannot register the event log source " + eventSource, error);
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    ::RegSetValueExA(key, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types), sizeof types);
    ::RegCloseKey(key);
    return ServiceCall::Done;
}

ServiceCall uninstallService(const std::string& name, const std::string& eventSource, std::string& error) {
    error.clear();
    ServiceHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return failed(::GetLastError(), "cannot open the service manager", error);
    ServiceHandle handle(::OpenServiceA(manager.handle, name.c_str(), DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!handle) return failed(::GetLastError(), "cannot open the service " + name, error);
    SERVICE_STATUS status{};
    if (::ControlService(handle.handle, SERVICE_CONTROL_STOP, &status)) {
        SERVICE_STATUS_PROCESS now{};
        waitWhile(handle.handle, SERVICE_STOP_PENDING, static_cast<int>(win32service::kStopWaitHintMs), now);
    }
    if (!::DeleteService(handle.handle)) return failed(::GetLastError(), "cannot remove the service " + name, error);
    ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, (kEventLogKey + eventSource).c_str());
    return ServiceCall::Done;
}

ServiceCall startService(const std::string& name, int waitMs, std::string& error) {
    error.clear();
    ServiceHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return failed(::GetLastError(), "cannot open the service manager", error);
    ServiceHandle handle(::OpenServiceA(manager.handle, name.c_str(), SERVICE_START | SERVICE_QUERY_STATUS));
    if (!handle) return failed(::GetLastError(), "cannot open the service " + name, error);
    if (!::StartServiceA(handle.handle, 0, nullptr) && ::GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
        return failed(::GetLastError(), "cannot start the service " + name, error);
    SERVICE_STATUS_PROCESS status{};
    if (!waitWhile(handle.handle, SERVICE_START_PENDING, waitMs, status))
        return failed(::GetLastError(), "cannot ask the service " + name + " how it is", error);
    if (status.dwCurrentState == SERVICE_RUNNING) return ServiceCall::Done;
    // A service that fails at its start passes through "stopping": its end,
    // and the exit code that says why, are waited for too.
    if (status.dwCurrentState == SERVICE_STOP_PENDING &&
        !waitWhile(handle.handle, SERVICE_STOP_PENDING, waitMs, status))
        return failed(::GetLastError(), "cannot ask the service " + name + " how it is", error);
    error = "the service " + name + " is " + stateName(status.dwCurrentState);
    if (status.dwCurrentState == SERVICE_STOPPED)
        error += " again (exit code " +
                 std::to_string(status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR ? status.dwServiceSpecificExitCode
                                                                                       : status.dwWin32ExitCode) +
                 "); see its log and the event log";
    return ServiceCall::Failed;
}

ServiceCall stopService(const std::string& name, int waitMs, std::string& error) {
    error.clear();
    ServiceHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return failed(::GetLastError(), "cannot open the service manager", error);
    ServiceHandle handle(::OpenServiceA(manager.handle, name.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!handle) return failed(::GetLastError(), "cannot open the service " + name, error);
    SERVICE_STATUS sent{};
    if (!::ControlService(handle.handle, SERVICE_CONTROL_STOP, &sent) && ::GetLastError() != ERROR_SERVICE_NOT_ACTIVE)
        return failed(::GetLastError(), "cannot stop the service " + name, error);
    SERVICE_STATUS_PROCESS status{};
    if (!waitWhile(handle.handle, SERVICE_STOP_PENDING, waitMs, status))
        return failed(::GetLastError(), "cannot ask the service " + name + " how it is", error);
    if (status.dwCurrentState == SERVICE_STOPPED) return ServiceCall::Done;
    error = "the service " + name + " is still " + stateName(status.dwCurrentState);
    return ServiceCall::Failed;
}

bool runAsService(const std::string& name, const std::function<int()>& body, int& exitCode, std::string& error) {
    RunningService& s = service();
    s.name = name;
    s.body = &body;
    std::vector<char> serviceName(name.begin(), name.end());
    serviceName.push_back('\0');
    SERVICE_TABLE_ENTRYA table[] = {{serviceName.data(), serviceMain}, {nullptr, nullptr}};
    // Returns once every service of the process has stopped.
    if (!::StartServiceCtrlDispatcherA(table)) {
        const DWORD code = ::GetLastError();
        error = code == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT
                    ? "not started by the service control manager (use \"service start\")"
                    : "cannot reach the service control manager: " + errorText(static_cast<int>(code));
        return false;
    }
    exitCode = s.exitCode;
    return true;
}

bool runningAsService() { return service().running; }

void reportSystemLogError(const std::string& source, const std::string& text) {
    const HANDLE log = ::RegisterEventSourceW(nullptr, wideText(source).c_str());
    if (!log) return;
    const std::wstring message = wideText(text);
    const wchar_t* strings[] = {message.c_str()};
    ::ReportEventW(log, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 1, 0, strings, nullptr);
    ::DeregisterEventSource(log);
}

std::string serviceDataDirectory() {
    wchar_t path[MAX_PATH];
    if (::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK) return {};
    return utf8FromWide(path) + "\\Procward";
}

bool createServiceDirectory(const std::string& path, std::string& error) {
    // Full access for the system account and administrators, inherited by
    // what is made inside; nothing from the folder above.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)",
                                                                SDDL_REVISION_1, &descriptor, nullptr)) {
        error = "cannot make the directory's access list: " + errorText(static_cast<int>(::GetLastError()));
        return false;
    }
    DWORD code = 0;
    const bool made = createPrivate(path, descriptor, code);
    ::LocalFree(descriptor);
    if (!made) error = "cannot create " + path + ": " + errorText(static_cast<int>(code));
    return made;
}

}  // namespace platform
