// The real program on a real desktop: the window manager closes its window,
// the pointer clicks its tray icon and buttons, the keyboard presses Escape.
// These tests drive the X server's pointer and keyboard, so they run one at
// a time, in the session of scripts/desktop-session.sh.
#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <regex>

#include <gtest/gtest.h>

#include "tests/support/ChildProcess.h"
#include "tests/support/Desktop.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestServer.h"
#include "ui/model/MainLayout.h"

namespace {

const int kWait = 15000;  // ms for the desktop to react; never a measure

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

class DesktopTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!desktop::present()) {
            if (desktop::promised()) FAIL() << "the session has no window manager or notification area";
            GTEST_SKIP() << "needs a window manager and a notification area (scripts/desktop-session.sh)";
        }
        // The window writes its logon entry: keep it out of the machine's own.
        ::setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
        std::filesystem::copy_file(PROCWARD_EXECUTABLE, executable());
        std::filesystem::permissions(executable(), std::filesystem::perms::owner_all);
        // The keys go straight to the commands: the questions asked before
        // quitting and deleting are the window tests' concern.
        writeFile(dir.file("procward.ini"), "[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\nCONFIRM_DANGEROUS=0\n");
    }

    void TearDown() override {
        procward.reset();  // killed unless it has ended
        for (int server : startedPids()) killAndWait(server);
        // A server the window ended before its start was confirmed (and
        // logged) runs this test's copy of the program all the same.
        std::error_code error;
        const std::filesystem::path own = std::filesystem::canonical(program, error);
        for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
            std::error_code unreadable;
            const std::string name = entry.path().filename().string();
            if (name.find_first_not_of("0123456789") == std::string::npos &&
                std::filesystem::read_symlink(entry.path() / "exe", unreadable) == own)
                killAndWait(std::stoi(name));
        }
    }

    std::string executable() const { return dir.file("procward"); }
    std::string server(const std::string& name, const std::string& arguments) const {
        return R"({"name":")" + name + R"(","processname":"procward-testserver","commandline":")" + program + " " +
               arguments + R"("})";
    }

    // Starts the program on `list` and waits until its window is shown,
    // framed and active, and its icon sits in the notification area.
    void start(const std::string& list) {
        writeFile(dir.file("serverinfo.json"), list);
        procward = std::make_unique<ChildProcess>(executable(), std::vector<std::string>{}, dir.path());
        pid = procward->pid();
        ASSERT_TRUE(waitFor([&] { return (window = desktop::managedWindow(pid, "Procward")).has_value(); }, kWait))
            << procward->output();
        ASSERT_TRUE(waitFor([&] { return desktop::trayIconOf(pid).has_value(); }, kWait));
        ASSERT_TRUE(desktop::activate(*window));
        // The first fitting is over once the window stops changing.
        desktop::Geometry last;
        ASSERT_TRUE(waitFor([&] {
            const desktop::Geometry now = desktop::geometry(*window);
            const bool same = now == last && now.viewable;
            last = now;
            return same;
        }, kWait));
    }

    bool shown() const { return desktop::geometry(*window).viewable; }
    // A left click on the tray icon, until the window shows: on a loaded
    // machine a look at the windows now and then misses the icon (a window
    // going away while the tree is read), or the panel drops a click before
    // it reaches the icon, neither of which the program can see.
    bool showFromTray() {
        for (int attempt = 0; attempt < 3; ++attempt) {
            std::optional<desktop::Window> icon;
            if (!waitFor([&] { return (icon = desktop::trayIconOf(pid)).has_value(); }, 4000)) continue;
            desktop::clickCentre(*icon, 1);
            if (waitFor([&] { return shown(); }, 4000)) return true;
        }
        return false;
    }
    bool running() const { return processAlive(pid); }
    // Waits for the end of the program; its exit status or -1.
    int ended() { return procward->wait(kWait); }

    // Procward's own log: the one file of logs/ (the servers' output lives
    // in a folder beside it).
    std::string log() const {
        if (!std::filesystem::is_directory(dir.file("logs"))) return {};
        for (const auto& entry : std::filesystem::directory_iterator(dir.file("logs")))
            if (entry.is_regular_file()) return readFile(entry.path());
        return {};
    }
    std::vector<int> startedPids() const {
        std::vector<int> pids;
        static const std::regex started(" started successfully: pid=(\\d+)");
        const std::string text = log();
        for (std::sregex_iterator m(text.begin(), text.end(), started), end; m != end; ++m)
            pids.push_back(std::stoi((*m)[1]));
        return pids;
    }

    // The control of a row on the screen, from the window's real size: the
    // fitting made it originY + 30 x rows + 128 high, frame included.
    std::pair<int, int> rowControlCentre(int rows, int index, MainLayout::RowControl control) const {
        const desktop::Geometry g = desktop::geometry(*window);
        const desktop::FrameExtents frame = desktop::frameExtents(*window);
        const int originY = g.height + frame.top + frame.bottom - MainLayout::kRowPitch * rows - 128;
        const MainLayout::Rect r = MainLayout::rowControl(originY, index, control);
        return {g.x + r.left + r.width / 2, g.y + r.top + r.height / 2};
    }

    // Right-clicks the tray icon and waits for the menu to open.
    void openTrayMenu() {
        const std::optional<desktop::Window> icon = desktop::trayIconOf(pid);
        ASSERT_TRUE(icon.has_value());
        desktop::clickCentre(*icon, 3);
        ASSERT_TRUE(waitFor([&] { return !desktop::popupsOf(pid).empty(); }, kWait));
    }

    TempDir dir;
    TempDir config;
    const std::string program = copyTestServer(dir.file("procward-testserver"));
    std::unique_ptr<ChildProcess> procward;
    int pid = 0;
    std::optional<desktop::Window> window;
};

TEST_F(DesktopTest, ClosingHidesTheWindowWhileTheChecksGoOnAndTheTrayIconBringsItBack) {
    ASSERT_NO_FATAL_FAILURE(start("[" + server("alpha", "--role close") + "]"));
    const desktop::Geometry before = desktop::geometry(*window);
    const desktop::FrameExtents frame = desktop::frameExtents(*window);
    // The first fitting is exact: 23 + 1355 + 180 pixels wide, frame included.
    EXPECT_EQ(23 + 1355 + 180, before.width + frame.left + frame.right);

    // The title bar's close button, as the window manager sends it.
    desktop::closeWindow(*window);
    ASSERT_TRUE(waitFor([&] { return !shown(); }, kWait));
    EXPECT_TRUE(running());
    EXPECT_TRUE(waitFor([&] { return desktop::trayIconOf(pid).has_value(); }, kWait));

    // Hidden, the window still supervises: a killed server comes back.
    ASSERT_TRUE(waitFor([&] { return startedPids().size() == 1; }, kWait)) << log();
    killAndWait(startedPids()[0]);
    ASSERT_TRUE(waitFor([&] { return startedPids().size() == 2; }, kWait)) << log();
    EXPECT_TRUE(processAlive(startedPids()[1]));

    // A click on the tray icon shows the window where it was.
    ASSERT_TRUE(showFromTray()) << log();
    EXPECT_TRUE(waitFor([&] { return desktop::geometry(*window) == before; }, kWait))
        << "hidden at " << before.x << "," << before.y << " " << before.width << "x" << before.height
        << ", shown at " << desktop::geometry(*window).x << "," << desktop::geometry(*window).y << " "
        << desktop::geometry(*window).width << "x" << desktop::geometry(*window).height;

    // Alt+F4 closes it the same way.
    ASSERT_TRUE(desktop::activate(*window));
    desktop::keys("alt+F4");
    ASSERT_TRUE(waitFor([&] { return !shown(); }, kWait));
    EXPECT_TRUE(running());
    EXPECT_TRUE(waitFor([&] { return desktop::trayIconOf(pid).has_value(); }, kWait));

    // Back again, Escape ends the program; the server keeps running.
    ASSERT_TRUE(showFromTray()) << log();
    ASSERT_TRUE(desktop::activate(*window));
    desktop::keys("Escape");
    const int status = ended();
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_TRUE(processAlive(startedPids().back()));
}

TEST_F(DesktopTest, ALogThatCannotBeOpenedIsShownInABoxAndEndsTheProgram) {
    // A file where the log directory should be.
    writeFile(dir.file("logs"), "not a directory");
    writeFile(dir.file("serverinfo.json"), "[" + server("alpha", "--role no-log") + "]");
    procward = std::make_unique<ChildProcess>(executable(), std::vector<std::string>{}, dir.path());
    pid = procward->pid();
    std::optional<desktop::Window> box;
    ASSERT_TRUE(waitFor([&] { return (box = desktop::managedWindow(pid, "procward")).has_value(); }, kWait))
        << procward->output();
    // Nothing else comes up and nothing is supervised.
    EXPECT_FALSE(desktop::managedWindow(pid, "Procward").has_value());
    EXPECT_FALSE(desktop::trayIconOf(pid).has_value());
    ASSERT_TRUE(desktop::activate(*box));
    desktop::keys("Return");
    const int status = ended();
    ASSERT_TRUE(WIFEXITED(status)) << "the box did not end the program";
    EXPECT_EQ(1, WEXITSTATUS(status));
    EXPECT_NE(std::string::npos, procward->output().find("Log initialization failed: ")) << procward->output();
    EXPECT_EQ("not a directory", readFile(dir.file("logs")));
    EXPECT_TRUE(startedPids().empty());
}

TEST_F(DesktopTest, EscapeAfterADeleteEndsTheProgram) {
    ASSERT_NO_FATAL_FAILURE(start("[" + server("alpha", "--role delete-a") + "," + server("beta", "--role delete-b") +
                                  "]"));
    // A real click on the first row's "删除": its button had the focus and
    // goes with the reload.
    const auto [x, y] = rowControlCentre(2, 1, MainLayout::Delete);
    desktop::click(x, y, 1);
    ASSERT_TRUE(waitFor([&] { return readFile(dir.file("serverinfo.json")) == "[" + server("beta", "--role delete-b") + "]"; },
                        kWait))
        << readFile(dir.file("serverinfo.json"));
    EXPECT_TRUE(running());

    ASSERT_TRUE(desktop::activate(*window));
    desktop::keys("Escape");
    const int status = ended();
    ASSERT_TRUE(WIFEXITED(status)) << "Escape did not end the program";
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_TRUE(endsWith(log(), "]: Procward exiting: Escape\r\n")) << log();
}

TEST_F(DesktopTest, TheTrayMenuOpensSettingsAndAboutShowsTheWindowAndQuits) {
    ASSERT_NO_FATAL_FAILURE(start("[]"));
    // The menu: "显示主窗口", "设置", "关于 Procward", separator, "退出";
    // the keyboard walks it as an operator may.
    ASSERT_NO_FATAL_FAILURE(openTrayMenu());
    desktop::keys("Down Down Return");
    std::optional<desktop::Window> settings;
    ASSERT_TRUE(waitFor([&] { return (settings = desktop::managedWindow(pid, "系统设置")).has_value(); }, kWait));
    desktop::closeWindow(*settings);
    ASSERT_TRUE(waitFor([&] { return !desktop::managedWindow(pid, "系统设置"); }, kWait));

    ASSERT_NO_FATAL_FAILURE(openTrayMenu());
    desktop::keys("Down Down Down Return");
    std::optional<desktop::Window> about;
    ASSERT_TRUE(waitFor([&] { return (about = desktop::managedWindow(pid, "About Procward")).has_value(); }, kWait));
    desktop::closeWindow(*about);
    ASSERT_TRUE(waitFor([&] { return !desktop::managedWindow(pid, "About Procward"); }, kWait));

    desktop::closeWindow(*window);
    ASSERT_TRUE(waitFor([&] { return !shown(); }, kWait));
    ASSERT_NO_FATAL_FAILURE(openTrayMenu());
    desktop::keys("Down Return");
    ASSERT_TRUE(waitFor([&] { return shown(); }, kWait));
    EXPECT_TRUE(running());

    ASSERT_NO_FATAL_FAILURE(openTrayMenu());
    desktop::keys("Up Return");
    const int status = ended();
    ASSERT_TRUE(WIFEXITED(status)) << "\"退出\" did not end the program";
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_TRUE(endsWith(log(), "]: Procward exiting: tray menu\r\n")) << log();
}

TEST_F(DesktopTest, SighupReloadsTheListAndSigtermEndsTheWindowWithALastLine) {
    ASSERT_NO_FATAL_FAILURE(start("[" + server("alpha", "--role signal-a") + "]"));
    ASSERT_TRUE(waitFor([&] { return startedPids().size() == 1; }, kWait)) << log();
    const int alpha = startedPids()[0];
    writeFile(dir.file("serverinfo.json"),
              "[" + server("alpha", "--role signal-a") + "," + server("beta", "--role signal-b") + "]");
    procward->signal(SIGHUP);
    ASSERT_TRUE(waitFor([&] { return startedPids().size() == 2; }, kWait)) << log();
    EXPECT_TRUE(processAlive(alpha));  // kept, not started again
    // Said once the new list is in place, which is just after beta's launch.
    EXPECT_TRUE(waitFor([&] { return log().find("Reloaded: added: beta; unchanged: 1;") != std::string::npos; }, kWait))
        << log();
    EXPECT_TRUE(running());

    procward->signal(SIGTERM);
    const int status = ended();
    ASSERT_TRUE(WIFEXITED(status)) << "SIGTERM did not end the program cleanly";
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_TRUE(endsWith(log(), "]: Procward exiting: SIGTERM\r\n")) << log();
}

}  // namespace
