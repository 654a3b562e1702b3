// procwardd.exe as an operator runs it on a Windows server: from its folder
// with its two files or as a service of the Service Control Manager,
// controlled with `procwardd ctl` over its pipe.
#include <windows.h>
#include <winsvc.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <memory>
#include <regex>

#include "app/core/ProgramVersion.h"
#include "platform/FileStore.h"
#include "platform/ProcessTable.h"
#include "platform/win32/Win32WideText.h"
#include "tests/support/TempDir.h"
#include "tests/win32/support/WinDaemon.h"
#include "tests/win32/support/WinTestServer.h"
#include "tests/win32/support/WinTestText.h"

namespace {

// The runner and process look-ups of the Windows test support.
using Finished = FinishedRun;
Finished run(const std::string& commandLine, const std::string& directory) { return runToEnd(commandLine, directory); }
int pidOf(const std::string& fileName) { return pidOfProgram(fileName); }
bool alive(int pid) { return processRuns(pid); }

class Win32ProcwarddTest : public ::testing::Test {
protected:
    void SetUp() override {
        daemon = dir.path() + "\\procwardd.exe";
        ASSERT_TRUE(::CopyFileA((testProgramDirectory() + "\\procwardd.exe").c_str(), daemon.c_str(), FALSE));
        server = WinTestServer::copyProgram(dir, "ctlsrv.exe");
        writeFile(dir.path() + "\\serverinfo.json", "[{\"name\":\"gs-ctl\",\"processname\":\"ctlsrv.exe\","
                                                    "\"commandline\":\"" + jsonEscaped(server + " -x 1") + "\"}]");
        writeFile(dir.path() + "\\procward.ini", "[GENERAL]\r\nCHECK_SVR_STATUS_INTERVAL=1\r\nSTART_CONFIRM_SECONDS=0\r\nSTOP_TIMEOUT=0\r\n");
    }

    void TearDown() override {
        if (process) {
            if (::WaitForSingleObject(process, 0) != WAIT_OBJECT_0) ::TerminateProcess(process, 1);
            ::CloseHandle(process);
        }
        if (const int pid = pidOf("ctlsrv.exe")) {
            const HANDLE left = ::OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid));
            if (left) {
                ::TerminateProcess(left, 1);
                ::CloseHandle(left);
            }
        }
    }

    // Started from another folder, with a console of its own, as a
    // service wrapper or a scheduled task starts it.
    void startDaemon() {
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = SW_HIDE;
        PROCESS_INFORMATION created{};
        std::wstring text = platform::wideText("\"" + daemon + "\"");
        ASSERT_TRUE(::CreateProcessW(nullptr, text.data(), nullptr, nullptr, FALSE,
                                     CREATE_NEW_CONSOLE | CREATE_NEW_PROCESS_GROUP, nullptr,
                                     platform::wideText(testProgramDirectory()).c_str(), &startup, &created));
        ::CloseHandle(created.hThread);
        process = created.hProcess;
        pid = created.dwProcessId;
    }

    Finished ctl(const std::string& arguments) { return run("\"" + daemon + "\" ctl " + arguments, dir.path()); }

    // A ctl command not waited for (a stop, which ctl follows to its end).
    void ctlInBackground(const std::string& arguments) {
        std::string line = "\"" + daemon + "\" ctl " + arguments;
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION created{};
        ASSERT_TRUE(::CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                                     dir.path().c_str(), &startup, &created));
        ::CloseHandle(created.hThread);
        ::CloseHandle(created.hProcess);
    }

    std::string log() const { return readFile(dir.path() + "\\logs\\" + todaysLogName("procwardd")); }

    // Waits until the server's process is there and ctl shows it running;
    // its process ID goes to `first`.
    void awaitRunning(int& first) {
        ASSERT_TRUE(eventually([&] { return (first = pidOf("ctlsrv.exe")) != 0; }, 30000)) << log();
        Finished status;
        ASSERT_TRUE(eventually([&] {
            status = ctl("status");
            return status.code == 0 && status.out.find("running") != std::string::npos;
        }, 20000)) << status.out << log();
    }

    TempDir dir;
    std::string daemon, server;
    HANDLE process = nullptr;
    DWORD pid = 0;
};

}  // namespace

TEST_F(Win32ProcwarddTest, CtlWithoutARunningSupervisorSaysSo) {
    const Finished status = ctl("status");
    EXPECT_EQ(3u, status.code) << status.out;
    EXPECT_NE(std::string::npos, status.out.find("no Procward is running for this user")) << status.out;
    EXPECT_NE(std::string::npos, status.out.find("\\\\.\\pipe\\procward-ctl-")) << status.out;

    const Finished wrong = ctl("stop");
    EXPECT_EQ(1u, wrong.code);
    EXPECT_NE(std::string::npos, wrong.out.find("stop needs the name of a server or --all")) << wrong.out;
}

TEST_F(Win32ProcwarddTest, BothProgramsSayTheirVersionAndUsageAndExitZero) {
    for (const std::string program : {"procwardd", "procward"}) {
        const std::string path = testProgramDirectory() + "\\" + program + ".exe";
        const Finished version = run("\"" + path + "\" --version", dir.path());
        EXPECT_EQ(0u, version.code) << program;
        EXPECT_EQ(0u, version.out.rfind(program + " " + ProgramVersion(), 0)) << version.out;
        const Finished help = run("\"" + path + "\" --help", dir.path());
        EXPECT_EQ(0u, help.code) << program;
        EXPECT_NE(std::string::npos, help.out.find(program + " --version")) << help.out;
    }
}

TEST_F(Win32ProcwarddTest, ItStartsItsServersAndCtlStopsAndStartsThem) {
    startDaemon();
    int first = 0;
    ASSERT_TRUE(eventually([&] { return (first = pidOf("ctlsrv.exe")) != 0; }, 30000)) << log();

    Finished status;
    ASSERT_TRUE(eventually([&] {
        status = ctl("status");
        return status.code == 0 && status.out.find(std::to_string(first)) != std::string::npos;
    }, 20000)) << status.code << " " << status.out << log();
    EXPECT_NE(std::string::npos, status.out.find("gs-ctl")) << status.out;

    // The window program answers ctl too, though it is built for a window.
    const Finished fromWindowProgram =
        run("\"" + testProgramDirectory() + "\\procward.exe\" ctl status", dir.path());
    EXPECT_EQ(0u, fromWindowProgram.code) << fromWindowProgram.out;
    EXPECT_NE(std::string::npos, fromWindowProgram.out.find("gs-ctl")) << fromWindowProgram.out;

    const Finished json = ctl("status --json");
    EXPECT_EQ(0u, json.code);
    EXPECT_NE(std::string::npos, json.out.find("\"name\":\"gs-ctl\"")) << json.out;
    EXPECT_NE(std::string::npos, json.out.find("\"pid\":" + std::to_string(first))) << json.out;

    // A stop over the pipe ends the server, and no check starts it again.
    const Finished stop = ctl("stop gs-ctl");
    EXPECT_EQ(0u, stop.code) << stop.out;
    EXPECT_NE(std::string::npos, stop.out.find("gs-ctl stopped")) << stop.out;
    EXPECT_TRUE(eventually([&] { return !alive(first); }, 5000));
    ::Sleep(2500);  // two checks
    EXPECT_EQ(0, pidOf("ctlsrv.exe"));

    const Finished start = ctl("start gs-ctl");
    EXPECT_EQ(0u, start.code) << start.out;
    EXPECT_NE(std::string::npos, start.out.find("gs-ctl started: pid=")) << start.out;
    EXPECT_NE(0, pidOf("ctlsrv.exe"));

    const Finished unknown = ctl("stop nobody-here");
    EXPECT_EQ(1u, unknown.code);
    EXPECT_NE(std::string::npos, unknown.out.find("no server is named \"nobody-here\"")) << unknown.out;

    // A second copy finds the first one's pipe taken and its mutex held.
    const Finished second = run("\"" + daemon + "\"", dir.path());
    EXPECT_EQ(0u, second.code) << second.out;
    EXPECT_NE(std::string::npos, second.out.find("Procward is already running on this machine.")) << second.out;
    EXPECT_TRUE(alive(static_cast<int>(pid)));

    const std::string text = log();
    EXPECT_NE(std::string::npos, text.find("Control socket: \\\\.\\pipe\\procward-ctl-")) << text;
    EXPECT_NE(std::string::npos, text.find("Control command from uid")) << text;
    EXPECT_NE(std::string::npos, text.find(": stop gs-ctl")) << text;
}

TEST_F(Win32ProcwarddTest, TheServersOutputIsKeptRotatedAndReadByCtlLogsOverThePipe) {
    writeFile(dir.path() + "\\serverinfo.json",
              "[{\"name\":\"gs-ctl\",\"processname\":\"ctlsrv.exe\",\"commandline\":\"" +
                  jsonEscaped(server + " --say hello-from-ctlsrv --count-lines 20 50") + "\"}]");
    writeFile(dir.path() + "\\procward.ini", "[GENERAL]\r\nCHECK_SVR_STATUS_INTERVAL=1\r\nSTART_CONFIRM_SECONDS=0\r\nSTOP_TIMEOUT=0\r\n"
                                             "SERVER_LOG_MAX_MB=1\r\nSERVER_LOG_BACKUPS=2\r\n");
    startDaemon();
    const std::string output = dir.path() + "\\logs\\servers\\gs-ctl.log";
    // Both streams of the server reach its file through the handles it
    // inherited, after Procward's own line for the launch.
    ASSERT_TRUE(eventually([&] { return readFile(output).find("hello-from-ctlsrv (stderr)") != std::string::npos; },
                           30000))
        << log();
    const std::string first = readFile(output);
    EXPECT_NE(std::string::npos, first.find("[procward] started pid ")) << first.substr(0, 400);
    EXPECT_NE(std::string::npos, first.find("hello-from-ctlsrv (stdout)")) << first.substr(0, 400);

    Finished tail;
    ASSERT_TRUE(eventually([&] {
        tail = ctl("logs gs-ctl -n 5");
        return tail.code == 0 && tail.out.find("count ") != std::string::npos;
    }, 20000)) << tail.code << " " << tail.out;

    // The server writes about 240 kB a second: the file is rotated while it
    // runs, and ctl logs still reads the newest lines.
    ASSERT_TRUE(eventually([&] { return ::GetFileAttributesA((output + ".1").c_str()) != INVALID_FILE_ATTRIBUTES; },
                           60000))
        << log();
    // The line follows the rename that made the copy.
    EXPECT_TRUE(eventually([&] { return log().find("Rotated " + output) != std::string::npos; }, 10000)) << log();
    const Finished after = ctl("logs gs-ctl -n 3");
    EXPECT_EQ(0u, after.code) << after.out;
    EXPECT_NE(std::string::npos, after.out.find("count ")) << after.out;
    const Finished unknown = ctl("logs nobody-here");
    EXPECT_NE(0u, unknown.code) << unknown.out;
}

namespace {

// The instant an ISO 8601 local time with a numeric offset names, in
// seconds since 1970; false when the text is not of that form.
bool isoInstant(const std::string& text, std::int64_t& seconds, std::string& offset) {
    static const std::regex form(R"(^(\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)([+-])(\d\d):(\d\d)$)");
    std::smatch m;
    if (!std::regex_match(text, m, form)) return false;
    auto number = [&m](int i) { return std::stoll(m[i].str()); };
    std::tm civil{};
    civil.tm_year = static_cast<int>(number(1)) - 1900;
    civil.tm_mon = static_cast<int>(number(2)) - 1;
    civil.tm_mday = static_cast<int>(number(3));
    civil.tm_hour = static_cast<int>(number(4));
    civil.tm_min = static_cast<int>(number(5));
    civil.tm_sec = static_cast<int>(number(6));
    const std::int64_t sign = m[7].str() == "-" ? -1 : 1;
    seconds = static_cast<std::int64_t>(_mkgmtime(&civil)) - sign * (number(8) * 3600 + number(9) * 60);
    offset = text.substr(19);
    return true;
}

}  // namespace

TEST_F(Win32ProcwarddTest, CtlStatusStartTimesAreIso8601WithANumericOffset) {
    // The C runtime takes its zone from TZ when it is set: eight hours east,
    // whatever the machine's zone, whose name the runtime's %z would give.
    ::SetEnvironmentVariableA("TZ", "CST-8");
    const std::int64_t before = static_cast<std::int64_t>(std::time(nullptr));
    startDaemon();
    ::SetEnvironmentVariableA("TZ", nullptr);
    int first = 0;
    ASSERT_TRUE(eventually([&] { return (first = pidOf("ctlsrv.exe")) != 0; }, 30000)) << log();
    Finished json;
    const std::regex startTime("\"start_time\":\"([^\"]*)\"");
    std::smatch found;
    ASSERT_TRUE(eventually([&] {
        json = ctl("status --json");
        return json.code == 0 && std::regex_search(json.out, found, startTime);
    }, 20000)) << json.out;
    std::int64_t instant = 0;
    std::string offset;
    ASSERT_TRUE(isoInstant(found[1].str(), instant, offset)) << found[1].str();
    EXPECT_EQ("+08:00", offset);
    // The time it names is the server's start, between this test's start
    // and now (whole seconds).
    EXPECT_LE(before - 1, instant);
    EXPECT_GE(static_cast<std::int64_t>(std::time(nullptr)), instant);
    // The server's own status shows the same text.
    const Finished one = ctl("status gs-ctl");
    EXPECT_NE(std::string::npos, one.out.find(found[1].str())) << one.out;
}

TEST_F(Win32ProcwarddTest, AServerUnderAFolderOutsideTheCodePageIsFoundStartedAndLogged) {
    // A Korean folder and name on a Chinese system (code page 936 has
    // neither), in a list saved as UTF-8 with a byte-order mark; the
    // supervisor lives in that folder too, with its files and its log.
    const std::string korean = "\xEA\xB2\x8C\xEC\x9E\x84";  // 게임
    const std::string folder = dir.path() + "\\\xEC\x84\x9C\xEB\xB2\x84";  // 서버
    ASSERT_TRUE(::CreateDirectoryW(platform::wideText(folder).c_str(), nullptr));
    const std::string program = folder + "\\krsrv.exe";
    ASSERT_TRUE(::CopyFileW(platform::wideText(server).c_str(), platform::wideText(program).c_str(), FALSE));
    const std::string commandLine = program + " -x 1";
    const std::string list = "\xEF\xBB\xBF[{\"name\":\"" + korean + "\",\"processname\":\"krsrv.exe\",\"commandline\":\"" +
                             jsonEscaped(commandLine) + "\"}]";
    const std::string settings = "[GENERAL]\r\nCHECK_SVR_STATUS_INTERVAL=1\r\nSTART_CONFIRM_SECONDS=0\r\nSTOP_TIMEOUT=0\r\n";
    ASSERT_TRUE(platform::replaceWholeFile(folder + "\\serverinfo.json", list, platform::NewFileAccess::shared));
    ASSERT_TRUE(platform::replaceWholeFile(folder + "\\procward.ini", settings, platform::NewFileAccess::shared));
    const std::string koreanDaemon = folder + "\\procwardd.exe";
    ASSERT_TRUE(::CopyFileW(platform::wideText(daemon).c_str(), platform::wideText(koreanDaemon).c_str(), FALSE));
    daemon = koreanDaemon;
    auto koreanLog = [&] {
        std::string bytes;
        platform::readWholeFile(folder + "\\logs\\" + todaysLogName("procwardd"), bytes);
        return bytes;
    };
    struct EndServer {
        ~EndServer() {
            if (const int left = pidOf("krsrv.exe")) {
                if (const HANDLE process = ::OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(left))) {
                    ::TerminateProcess(process, 1);
                    ::CloseHandle(process);
                }
            }
        }
    } endServer;

    // Running before the supervisor starts: found by its path and
    // arguments, not started a second time.
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created{};
    std::wstring line = platform::wideText(commandLine);
    ASSERT_TRUE(::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                                 platform::wideText(folder).c_str(), &startup, &created));
    ::CloseHandle(created.hThread);
    ::CloseHandle(created.hProcess);
    const int own = static_cast<int>(created.dwProcessId);
    std::vector<std::string> paths;
    ASSERT_TRUE(eventually([&] { return platform::processTable().executablePaths(own, paths); }, 10000));
    EXPECT_NE(paths.end(), std::find(paths.begin(), paths.end(), program)) << "the system names it in UTF-8";

    startDaemon();
    Finished json;
    ASSERT_TRUE(eventually([&] {
        json = ctl("status --json");
        return json.code == 0 && json.out.find("\"pid\":" + std::to_string(own)) != std::string::npos;
    }, 20000)) << json.out << koreanLog();
    EXPECT_NE(std::string::npos, json.out.find("\"name\":\"" + korean + "\"")) << json.out;
    EXPECT_NE(std::string::npos, json.out.find("\"state\":\"running\"")) << json.out;

    // Once it is gone, the supervisor starts it from the same folder.
    ::Sleep(1500);
    EXPECT_EQ(own, pidOf("krsrv.exe")) << "no second copy was started";
    if (const HANDLE process = ::OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(own))) {
        ::TerminateProcess(process, 1);
        ::CloseHandle(process);
    }
    int started = 0;
    ASSERT_TRUE(eventually([&] { return (started = pidOf("krsrv.exe")) != 0 && started != own; }, 20000)) << koreanLog();
    ASSERT_TRUE(eventually([&] { return platform::processTable().executablePaths(started, paths); }, 10000));
    EXPECT_NE(paths.end(), std::find(paths.begin(), paths.end(), program));
    ASSERT_TRUE(eventually([&] {
        json = ctl("status --json");
        return json.out.find("\"pid\":" + std::to_string(started)) != std::string::npos;
    }, 20000)) << json.out;

    // The log, in the supervisor's folder, names it as it is, in UTF-8.
    const std::string text = koreanLog();
    EXPECT_NE(std::string::npos, text.find(korean + " started successfully: pid=" + std::to_string(started))) << text;
}

TEST_F(Win32ProcwarddTest, ACtlStopLetsAConsoleServerSaveBeforeItEnds) {
    // procwardd runs in a console of its own; the server in another.
    const std::string saved = dir.path() + "\\saved.txt";
    writeFile(dir.path() + "\\serverinfo.json", "[{\"name\":\"gs-ctl\",\"processname\":\"ctlsrv.exe\","
                                                "\"commandline\":\"" + jsonEscaped(server + " --on-term " + saved) +
                                                "\"}]");
    // Were the Ctrl-Break lost, the kill at the end of this would show in
    // the log and leave nothing saved.
    writeFile(dir.path() + "\\procward.ini", "[GENERAL]\r\nCHECK_SVR_STATUS_INTERVAL=1\r\nSTART_CONFIRM_SECONDS=0\r\nSTOP_TIMEOUT=120\r\n");
    startDaemon();
    int first = 0;
    ASSERT_NO_FATAL_FAILURE(awaitRunning(first));

    // Not waited for: whether the server saved is what tells.
    ctlInBackground("stop gs-ctl");
    const bool ended = eventually([&] { return !alive(first); }, runningUnderWine() ? 20000 : 110000);
    if (!ended && runningUnderWine()) GTEST_SKIP() << kWineDropsConsoleEvents;
    ASSERT_TRUE(ended) << log();
    EXPECT_EQ(0u, readFile(saved).find("saved")) << log();
    EXPECT_EQ(std::string::npos, log().find("did not end within the stop time-out")) << log();
}

namespace {

// The service's registration as the service manager holds it.
struct Registration {
    bool found = false;
    DWORD startType = 0;
    std::string binaryPath;
    std::string description;
    DWORD restartActions = 0;  // of the recovery actions, those that restart it
};

Registration registration(const char* name) {
    Registration r;
    SC_HANDLE manager = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) return r;
    SC_HANDLE service = ::OpenServiceA(manager, name, SERVICE_QUERY_CONFIG);
    if (service) {
        r.found = true;
        std::vector<char> buffer(8192);
        DWORD needed = 0;
        if (::QueryServiceConfigA(service, reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data()),
                                  static_cast<DWORD>(buffer.size()), &needed)) {
            const auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
            r.startType = config->dwStartType;
            r.binaryPath = config->lpBinaryPathName ? config->lpBinaryPathName : "";
        }
        if (::QueryServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, reinterpret_cast<LPBYTE>(buffer.data()),
                                   static_cast<DWORD>(buffer.size()), &needed)) {
            const auto* text = reinterpret_cast<SERVICE_DESCRIPTIONA*>(buffer.data());
            r.description = text->lpDescription ? text->lpDescription : "";
        }
        if (::QueryServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, reinterpret_cast<LPBYTE>(buffer.data()),
                                   static_cast<DWORD>(buffer.size()), &needed)) {
            const auto* failure = reinterpret_cast<SERVICE_FAILURE_ACTIONSA*>(buffer.data());
            for (DWORD i = 0; i < failure->cActions; ++i)
                if (failure->lpsaActions[i].Type == SC_ACTION_RESTART) ++r.restartActions;
        }
        ::CloseServiceHandle(service);
    }
    ::CloseServiceHandle(manager);
    return r;
}

DWORD serviceState(const char* name) {
    DWORD state = 0;
    SC_HANDLE manager = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) return 0;
    if (SC_HANDLE service = ::OpenServiceA(manager, name, SERVICE_QUERY_STATUS)) {
        SERVICE_STATUS status{};
        if (::QueryServiceStatus(service, &status)) state = status.dwCurrentState;
        ::CloseServiceHandle(service);
    }
    ::CloseServiceHandle(manager);
    return state;
}

class Win32ServiceTest : public Win32ProcwarddTest {
protected:
    void SetUp() override {
        Win32ProcwarddTest::SetUp();
        // A service left by an earlier run that did not end is not this one.
        service("uninstall");
        saved = dir.path() + "\\saved.txt";
        writeFile(dir.path() + "\\serverinfo.json", "[{\"name\":\"gs-ctl\",\"processname\":\"ctlsrv.exe\","
                                                    "\"commandline\":\"" + jsonEscaped(server + " --on-term " + saved) +
                                                    "\"}]");
        writeFile(dir.path() + "\\procward.ini", "[GENERAL]\r\nCHECK_SVR_STATUS_INTERVAL=1\r\nSTART_CONFIRM_SECONDS=0\r\nSTOP_TIMEOUT=120\r\n");
    }
    void TearDown() override {
        service("uninstall");
        Win32ProcwarddTest::TearDown();
    }

    Finished service(const std::string& action) { return run("\"" + daemon + "\" service " + action, dir.path()); }

    std::string saved;
};

}  // namespace

TEST_F(Win32ServiceTest, InstalledStartedStoppedAndRemovedThroughTheServiceManagerWithItsServersLeftRunning) {
    const Finished install = service("install --config-dir \"" + dir.path() + "\"");
    ASSERT_EQ(0u, install.code) << install.out;
    EXPECT_NE(std::string::npos, install.out.find("installed as the service \"Procward\"")) << install.out;
    const Registration registered = registration("Procward");
    ASSERT_TRUE(registered.found);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), registered.startType);
    EXPECT_EQ("\"" + daemon + "\" \"--service\" \"--config-dir\" \"" + dir.path() + "\"", registered.binaryPath);
    EXPECT_NE(std::string::npos, registered.description.find("serverinfo.json")) << registered.description;
    // Wine's service manager takes recovery actions but keeps none.
    if (!runningUnderWine()) {
        EXPECT_EQ(3u, registered.restartActions);
    }
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), serviceState("Procward"));

    const Finished start = service("start");
    ASSERT_EQ(0u, start.code) << start.out << log();
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), serviceState("Procward"));
    int first = 0;
    ASSERT_TRUE(eventually([&] { return (first = pidOf("ctlsrv.exe")) != 0; }, 30000)) << log();

    // ctl finds no copy of this user's own and asks the service instead.
    Finished status;
    ASSERT_TRUE(eventually([&] {
        status = ctl("status");
        return status.code == 0 && status.out.find(std::to_string(first)) != std::string::npos;
    }, 20000)) << status.code << " " << status.out << log();

    // The service stops; its server does not.
    const Finished stop = service("stop");
    ASSERT_EQ(0u, stop.code) << stop.out << log();
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), serviceState("Procward"));
    EXPECT_TRUE(alive(first));
    EXPECT_NE(std::string::npos, log().find("Procward exiting: service stop")) << log();

    // Started again, it finds the server still running and keeps it.
    ASSERT_EQ(0u, service("start").code) << log();
    ASSERT_TRUE(eventually([&] {
        status = ctl("status");
        return status.code == 0 && status.out.find("running") != std::string::npos;
    }, 20000)) << status.out << log();
    EXPECT_NE(std::string::npos, status.out.find(std::to_string(first))) << status.out;
    EXPECT_EQ(first, pidOf("ctlsrv.exe"));

    const Finished uninstall = service("uninstall");
    EXPECT_EQ(0u, uninstall.code) << uninstall.out;
    EXPECT_FALSE(registration("Procward").found);
    EXPECT_NE(static_cast<DWORD>(SERVICE_RUNNING), serviceState("Procward"));
}

TEST_F(Win32ServiceTest, AServiceThatCannotReadItsListEndsAndSaysWhy) {
    writeFile(dir.path() + "\\serverinfo.json", "[{\"name\": ");
    ASSERT_EQ(0u, service("install --config-dir \"" + dir.path() + "\"").code);
    const Finished start = service("start");
    EXPECT_EQ(1u, start.code) << start.out;
    EXPECT_NE(std::string::npos, start.out.find("exit code 1")) << start.out;
    EXPECT_NE(std::string::npos, log().find("the server list cannot be read")) << log();
}

TEST_F(Win32ServiceTest, TheServiceCommandsSayWhatIsWrong) {
    // Not started by the service manager.
    const Finished outside = run("\"" + daemon + "\" --service", dir.path());
    EXPECT_EQ(1u, outside.code);
    EXPECT_NE(std::string::npos, outside.out.find("not started by the service control manager")) << outside.out;
    const Finished unknown = service("restart");
    EXPECT_EQ(2u, unknown.code);
    EXPECT_NE(std::string::npos, unknown.out.find("service needs install, uninstall, start or stop")) << unknown.out;
    // Nothing installed: start and uninstall say so.
    const Finished start = service("start");
    EXPECT_EQ(1u, start.code);
    EXPECT_NE(std::string::npos, start.out.find("cannot open the service Procward")) << start.out;
    const Finished missing = service("install --config-dir \"" + dir.path() + "\\missing\"");
    EXPECT_EQ(1u, missing.code);
    EXPECT_NE(std::string::npos, missing.out.find("--config-dir")) << missing.out;
    EXPECT_FALSE(registration("Procward").found);
}

TEST_F(Win32ServiceTest, AConsoleServerStoppedByTheServiceSaves) {
    // The service has no console of its own; its server still gets a
    // Ctrl-Break of its own and saves.
    ASSERT_EQ(0u, service("install --config-dir \"" + dir.path() + "\"").code);
    ASSERT_EQ(0u, service("start").code) << log();
    int first = 0;
    ASSERT_NO_FATAL_FAILURE(awaitRunning(first));
    ctlInBackground("stop gs-ctl");
    const bool ended = eventually([&] { return !alive(first); }, runningUnderWine() ? 20000 : 110000);
    if (!ended && runningUnderWine()) GTEST_SKIP() << kWineDropsConsoleEvents;
    ASSERT_TRUE(ended) << log();
    EXPECT_EQ(0u, readFile(saved).find("saved")) << log();
}
