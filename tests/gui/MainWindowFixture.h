#pragma once
// The main window opened on a server list in a fresh directory, which is its
// configuration directory and working directory, with its log there;
// servers it launched are ended after each test.
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <wx/app.h>

#include "app/core/Runtime.h"
#include "config/AppDirectories.h"
#include "log/AppLogger.h"
#include "supervision/ServerState.h"
#include "ui/CProcwardDlg.h"
#include "ui/DialogTemplate.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestServer.h"
#include "tests/support/TodaysLog.h"

inline std::string labelOf(wxWindow* window) { return window ? ToU8(window->GetLabel()) : std::string("<missing>"); }

class MainWindowFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ::mkdir(dir.file("logs").c_str(), 0777);
        AppLogger::Instance().Init();
        AppDirectories::setConfigDirectory(dir.path());
    }
    void TearDown() override {
        if (dialog) {
            // Alerts still going out would log into the next test's file.
            dialog->runtime().mailDelivery().waitIdle(std::chrono::seconds(60));
            // Servers the window launched are detached from the test: end them.
            for (const auto& [index, server] : dialog->supervisor().servers()) killAndWait(server->info().pid);
        }
        dialog.reset();
        for (int pid : launched) killAndWait(pid);
        AppDirectories::setConfigDirectory("");
    }
    // A server-list entry for the test's own copy of the test server, so
    // that processes of tests running at the same time never match.
    std::string server(const std::string& name, const std::string& arguments) {
        return R"({"name":")" + name + R"(","processname":"procward-testserver","commandline":")" + program + " " +
               arguments + R"("})";
    }
    void open(const std::string& json) {
        writeFile(dir.file("serverinfo.json"), json);
        // The window's tests look at one check at a time: a server killed
        // young is started again at the next one, without the back-off, and
        // a start counts once it has settled (the engine's own tests cover
        // the confirmation time).
        if (!std::filesystem::exists(dir.file("procward.ini")))
            writeFile(dir.file("procward.ini"), "[GENERAL]\nRESTART_BACKOFF_MAX=0\nSTART_CONFIRM_SECONDS=0\n");
        dialog = std::make_unique<CProcwardDlg>();
        dialog->OnInitDialog();
        dialog->Show();
        // Launches are made in slices: on a busy machine a start can wait
        // for the window's next call. The tests begin once every server has
        // had its first start (or its first failure).
        runUntil([&] {
            for (const auto& [index, server] : dialog->supervisor().servers())
                if (server->autoStart() && server->state() == ServerState::Stopped) return false;
            return true;
        });
    }
    wxWindow* control(int id) { return dialog->FindWindow(id); }
    const MonitoredServer& record(int index) { return *dialog->supervisor().find(index); }
    // Runs the window's loop (the exit watcher's wake-ups, the supervisor's
    // due work, the desktop's events) until `done`, as the event loop would.
    template <class F>
    bool runUntil(F done) {
        return waitFor([&] {
            wxTheApp->Yield(true);
            dialog->RunSupervisor();
            return done();
        });
    }

    std::string log() const { return readFile(dir.file(todaysLogFile())); }

    TempDir dir;
    ScopedWorkingDirectory cwd{dir.path()};
    const std::string program = copyTestServer(dir.file("procward-testserver"));
    std::unique_ptr<CProcwardDlg> dialog;
    std::vector<int> launched;  // other processes to end after the test
};

