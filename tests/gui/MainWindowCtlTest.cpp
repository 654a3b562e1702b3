// ctl and the window on one supervisor: commands from either are seen by
// both, through the window's real control socket.
#include <chrono>
#include <filesystem>
#include <future>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "app/core/CtlCommand.h"
#include "platform/CommandSocket.h"
#include "tests/gui/DialogDriving.h"
#include "tests/gui/MainWindowFixture.h"
#include "ui/ProcwardTrayIcon.h"
#include "ui/ServerRow.h"

namespace {

class MainWindowCtlTest : public MainWindowFixture {
protected:
    // Sends `ctl ARGS` from another thread, as the ctl program would, and
    // runs the window meanwhile until the answer has come: the exit code
    // line, then the text.
    std::string ctl(const std::vector<std::string>& args) {
        std::string line, error;
        if (!CtlRequestLine(args, line, error)) return "not a command: " + error;
        const std::string path = dialog->runtime().serviceHost().socketPath();
        auto answer = std::async(std::launch::async, [path, line] {
            std::string reply, failure;
            if (platform::sendCommand(path, line, reply, failure, 60000) != platform::CommandResult::Answered)
                return "no answer: " + failure;
            return reply;
        });
        const bool answered =
            runUntil([&] { return answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
        EXPECT_TRUE(answered);
        return answered ? answer.get() : std::string("no answer in time");
    }
    // What ctl status says of one server: its state and auto-start mode.
    std::string status(const std::string& name) {
        const std::string reply = ctl({"status", "--json"});
        // 3: some server is not running; the status comes all the same.
        if (reply.rfind("0\n", 0) != 0 && reply.rfind("3\n", 0) != 0) return "status failed: " + reply;
        rapidjson::Document json;
        json.Parse(reply.c_str() + 2);
        if (json.HasParseError() || !json.IsObject() || !json.HasMember("servers")) return "not JSON: " + reply;
        for (const auto& s : json["servers"].GetArray())
            if (name == s["name"].GetString())
                return std::string(s["state"].GetString()) + (s["auto_start"].GetBool() ? ", auto-start" : "");
        return "no " + name;
    }
    ServerRow& row(int index) { return *dialog->row(index); }

    // The control socket of this test alone.
    ScopedEnvironment runtimeDirectory{"XDG_RUNTIME_DIR", dir.path()};
};

TEST_F(MainWindowCtlTest, AStopFromCtlOrFromTheWindowIsSeenByBoth) {
    // Alpha runs a copy of the test server that the test can take away, so
    // that alpha can be down with auto-start on.
    const std::string alphaProgram = copyTestServer(dir.file("alpha-server"));
    open(R"([{"name":"alpha","processname":"alpha-server","commandline":")" + alphaProgram + R"( --role ctl"},)" +
         server("beta", "--role ctl") + "," + server("gamma", "--role ctl") + "]");
    ProcwardTrayIcon* tray = dialog->trayIcon();
    ASSERT_NE(nullptr, tray);
    ASSERT_EQ(dir.path() + "/procward/ctl.sock", dialog->runtime().serviceHost().socketPath());
    // Launched, it runs once it has stayed up for its first look.
    EXPECT_TRUE(runUntil([&] { return status("beta") == "running, auto-start"; })) << status("beta");

    // ctl stops beta: the window's row and tray follow as the process goes.
    const int beta = record(2).info().pid;
    EXPECT_EQ("0\nbeta stopped\n", ctl({"stop", "beta"}));
    EXPECT_FALSE(processAlive(beta));
    EXPECT_EQ("", ToU8(row(2).pidLabel->GetLabel()));
    EXPECT_EQ("启动", labelOf(control(1026)));
    EXPECT_FALSE(row(2).showsAlarm());
    EXPECT_EQ("Procward\n运行 2\n不健康 0\n停止 1", tray->tooltip());
    EXPECT_FALSE(tray->showsAlarm());

    // The window stops gamma: ctl sees it down and kept down.
    clickButton(dialog.get(), 1027);
    ASSERT_TRUE(runUntil([&] { return record(3).info().pid == 0; }));
    EXPECT_EQ("stopped", status("gamma"));

    // Alpha goes down and cannot be started again: the row and the tray
    // show the alarm...
    std::filesystem::rename(alphaProgram, alphaProgram + ".away");
    killAndWait(record(1).info().pid);
    dialog->CheckAllServers();
    ASSERT_EQ(0, record(1).info().pid);
    EXPECT_TRUE(row(1).showsAlarm());
    EXPECT_TRUE(tray->showsAlarm());
    EXPECT_EQ("failing, auto-start", status("alpha"));  // its start failed
    // ... until ctl stops it: nothing to end, but it stays down, and the
    // window shows that at once (no check would: to a check nothing changed).
    EXPECT_EQ("0\nalpha is not running; it stays down\n", ctl({"stop", "alpha"}));
    EXPECT_FALSE(row(1).showsAlarm());
    EXPECT_FALSE(tray->showsAlarm());
    EXPECT_EQ("Procward\n运行 0\n不健康 0\n停止 3", tray->tooltip());
    EXPECT_EQ("stopped", status("alpha"));

    // ctl starts beta again and the window's row shows its process.
    std::filesystem::rename(alphaProgram + ".away", alphaProgram);
    const std::string started = ctl({"start", "beta"});
    ASSERT_GT(record(2).info().pid, 0);
    EXPECT_EQ("0\nbeta started: pid=" + std::to_string(record(2).info().pid) + "\n", started);
    EXPECT_EQ(std::to_string(record(2).info().pid), ToU8(row(2).pidLabel->GetLabel()));
    EXPECT_EQ("停止", labelOf(control(1026)));
    // Running once its start is confirmed.
    EXPECT_TRUE(runUntil([&] { return tray->tooltip() == "Procward\n运行 1\n不健康 0\n停止 2"; })) << tray->tooltip();
}

}  // namespace
