// The main window's tray icon, focus and first sizing, in the test process.
// The desktop tests (tests/desktop) click the real icon of the executable.
#include <unistd.h>

#include <filesystem>

#include <wx/display.h>
#include <wx/timer.h>

#include <wx/msgdlg.h>
#include <wx/testing.h>

#include <gtest/gtest.h>

#include "tests/gui/DialogDriving.h"
#include "tests/gui/MainWindowFixture.h"
#include "tests/support/Desktop.h"
#include "ui/CAboutDlg.h"
#include "ui/CSettingDlg.h"
#include "ui/MainWindowGlobals.h"
#include "ui/ProcwardTrayIcon.h"
#include "ui/ServerRow.h"
#include "ui/model/MainLayout.h"

namespace {

// Answers a modal dialog of type T with `answer`, noting that it opened.
template <class T>
class Answer : public wxExpectModalBase<T, Answer<T>> {
public:
    explicit Answer(int answer) : answer_(answer) {}

protected:
    int OnInvoked(T*) const override { return answer_; }

private:
    int answer_;
};

std::string text(const wxRect& r) {
    return std::to_string(r.x) + "," + std::to_string(r.y) + " " + std::to_string(r.width) + "x" +
           std::to_string(r.height);
}

class MainWindowTrayTest : public MainWindowFixture {
protected:
    ServerRow& row(int index) { return *dialog->row(index); }
    void tick() { dialog->CheckAllServers(); }
    // A tray icon cannot be clicked from inside the process that owns it
    // (its menu runs a loop of its own until it closes), so the command is
    // sent to the handler that choosing it in the menu reaches.
    void choose(int command) {
        wxCommandEvent event(wxEVT_MENU, command);
        dialog->trayIcon()->ProcessEvent(event);
    }
    void closeWindow() {
        wxCloseEvent close(wxEVT_CLOSE_WINDOW, dialog->GetId());
        close.SetEventObject(dialog.get());
        dialog->ProcessWindowEvent(close);
    }
};

TEST_F(MainWindowTrayTest, TooltipPictureAndProcessIdCellFollowAServerThatIsKilled) {
    // Alpha runs its own copy of the test server, which the test can take
    // away so that the restart after the kill fails.
    const std::string alphaProgram = copyTestServer(dir.file("alpha-server"));
    open(R"([{"name":"alpha","processname":"alpha-server","commandline":")" + alphaProgram + R"( --role tray"},)" +
         server("beta", "--role tray") + "]");
    ProcwardTrayIcon* tray = dialog->trayIcon();
    ASSERT_NE(nullptr, tray);
    ASSERT_GT(record(1).info().pid, 0);
    // Running once their starts are confirmed.
    EXPECT_TRUE(runUntil([&] { return tray->tooltip() == "Procward\n运行 2\n不健康 0\n停止 0"; })) << tray->tooltip();
    EXPECT_FALSE(tray->showsAlarm());
    EXPECT_FALSE(row(1).showsAlarm());
    const wxRect cell = row(1).pidLabel->GetRect();
    const wxColour normalBackground = row(1).pidLabel->GetBackgroundColour();

    std::filesystem::rename(alphaProgram, alphaProgram + ".away");
    killAndWait(record(1).info().pid);
    tick();
    ASSERT_EQ(0, record(1).info().pid);
    EXPECT_TRUE(record(1).autoStart());
    // The tooltip names the server that is down.
    EXPECT_EQ("Procward\n运行 1\n不健康 0\n停止 1\n未运行：alpha", tray->tooltip());
    EXPECT_TRUE(tray->showsAlarm());
    EXPECT_TRUE(row(1).showsAlarm());
    EXPECT_EQ(ServerRow::kAlarmColour, row(1).pidLabel->GetBackgroundColour());
    EXPECT_EQ("", ToU8(row(1).pidLabel->GetLabel()));
    EXPECT_EQ(cell, row(1).pidLabel->GetRect());
    EXPECT_FALSE(row(2).showsAlarm());
    // Why the start failed reads in Chinese in the window, in English in the log.
    const std::string tip = ToU8(row(1).pidLabel->GetToolTipText());
    EXPECT_NE(std::string::npos, tip.find("启动错误：无法执行 '" + alphaProgram + "'：找不到文件或目录")) << tip;
    EXPECT_EQ(std::string::npos, tip.find("No such file")) << tip;
    EXPECT_NE(std::string::npos, log().find("No such file or directory"));

    // The program is back: the next attempt (after the back-off step of
    // the failed start) starts the server again.
    std::filesystem::rename(alphaProgram + ".away", alphaProgram);
    ASSERT_TRUE(runUntil([&] { return record(1).state() == ServerState::Running; }));
    EXPECT_EQ("Procward\n运行 2\n不健康 0\n停止 0", tray->tooltip());
    EXPECT_FALSE(tray->showsAlarm());
    EXPECT_FALSE(row(1).showsAlarm());
    EXPECT_EQ(normalBackground, row(1).pidLabel->GetBackgroundColour());

    // Stopped by the operator, a server is down but no alarm.
    clickButton(dialog.get(), 1026);
    ASSERT_TRUE(runUntil([&] { return record(2).info().pid == 0; }));
    EXPECT_EQ("Procward\n运行 1\n不健康 0\n停止 1", tray->tooltip());
    EXPECT_FALSE(tray->showsAlarm());
    EXPECT_FALSE(row(2).showsAlarm());

    // A reload counts the new list.
    wxTEST_DIALOG(clickButton(dialog.get(), 1126), wxExpectModal<wxMessageDialog>(wxID_YES));
    EXPECT_EQ("Procward\n运行 1\n不健康 0\n停止 0", tray->tooltip());
}

TEST_F(MainWindowTrayTest, TheTrayMenuReachesEveryCommandOutsideTheRows) {
    open("[]");
    ASSERT_NE(nullptr, dialog->trayIcon());
    const std::unique_ptr<wxMenu> menu = ProcwardTrayIcon::CreateTrayMenu();
    std::vector<std::string> items;
    for (const wxMenuItem* item : menu->GetMenuItems())
        items.push_back(item->IsSeparator() ? "-" : ToU8(item->GetItemLabelText()));
    EXPECT_EQ((std::vector<std::string>{"显示主窗口", "设置", "关于 Procward", "-", "退出"}), items);

    wxTEST_DIALOG(choose(ProcwardTrayIcon::kSettingsCommand), Answer<CSettingDlg>(wxID_CANCEL));
    wxTEST_DIALOG(choose(ProcwardTrayIcon::kAboutCommand), Answer<CAboutDlg>(wxID_OK));
    EXPECT_FALSE(dialog->hasEnded());

    closeWindow();
    EXPECT_EQ(!dialog->trayAvailable(), dialog->IsShown());
    choose(ProcwardTrayIcon::kShowCommand);
    EXPECT_TRUE(dialog->IsShown());
    EXPECT_FALSE(dialog->IsIconized());

    wxTEST_DIALOG(choose(ProcwardTrayIcon::kQuitCommand), wxExpectModal<wxMessageDialog>(wxID_YES));
    EXPECT_TRUE(dialog->hasEnded());
    EXPECT_EQ(wxID_CANCEL, dialog->GetReturnCode());
    EXPECT_FALSE(dialog->IsShown());
}

TEST_F(MainWindowTrayTest, QuittingWhileTheSettingsDialogIsOpenEndsTheProgramOnceItCloses) {
    open("[]");
    bool quitInsideSettings = false, rescued = false;
    dialog->CallAfter([&] {
        // Runs inside the settings dialog's own loop.
        dialog->CallAfter([&] {
            for (wxWindow* window : wxTopLevelWindows)
                if (auto* settings = dynamic_cast<CSettingDlg*>(window); settings && settings->IsModal()) {
                    quitInsideSettings = true;
                    wxTEST_DIALOG(choose(ProcwardTrayIcon::kQuitCommand), wxExpectModal<wxMessageDialog>(wxID_YES));
                    settings->EndModal(wxID_CANCEL);
                }
        });
        dialog->OnSysCommand(CProcwardDlg::IDM_SETTINGS);
    });
    // Only should the quit be lost: ends the window's loop so that the test
    // reports it instead of waiting for ever.
    wxTimer guard;
    guard.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
        rescued = true;
        dialog->EndWithCommand(wxID_ABORT, "test");
    });
    guard.StartOnce(30000);
    EXPECT_EQ(wxID_CANCEL, dialog->Run());
    EXPECT_TRUE(quitInsideSettings);
    EXPECT_FALSE(rescued);
}

TEST_F(MainWindowTrayTest, TheFocusStaysInTheWindowWhenAReloadDestroysTheFocusedButton) {
    open("[" + server("alpha", "--role focus-a") + "," + server("beta", "--role focus-b") + "]");
    wxWindow* deleteButton = control(1125);
    deleteButton->SetFocus();
    ASSERT_TRUE(pumpUntil([&] { return wxWindow::FindFocus() == deleteButton; }));
    wxTEST_DIALOG(clickButton(dialog.get(), 1125), wxExpectModal<wxMessageDialog>(wxID_YES));
    ASSERT_TRUE(runUntil([&] { return control(1126) == nullptr; }));  // the rows were made anew
    wxWindow* focus = wxWindow::FindFocus();
    ASSERT_NE(nullptr, focus);
    EXPECT_TRUE(dialog->IsDescendant(focus)) << focus->GetId();
}

TEST_F(MainWindowTrayTest, TheFirstShowFitsTheWindowExactlyInsideTheDesktopsFrame) {
    if (!desktop::present()) {
        if (desktop::promised()) FAIL() << "the session has no window manager or notification area";
        GTEST_SKIP() << "needs a window manager (scripts/desktop-session.sh)";
    }
    // The toolkit learns the size of the desktop's frame from the first
    // window of a process; ctest runs each test in a process of its own, so
    // this is that first window.
    open("[" + server("alpha", "--role fit") + "]");
    const int width = 23 + 1355 + 180, height = g_rowOriginY + 30 * 1 + 128;
    std::optional<desktop::Window> window;
    ASSERT_TRUE(pumpUntil([&] { return (window = desktop::managedWindow(::getpid(), "Procward")).has_value(); }));
    // The size the desktop gives the window, its frame included.
    auto outer = [&] {
        const desktop::Geometry g = desktop::geometry(*window);
        const desktop::FrameExtents f = desktop::frameExtents(*window);
        return wxRect(g.x - f.left, g.y - f.top, g.width + f.left + f.right, g.height + f.top + f.bottom);
    };
    EXPECT_TRUE(pumpUntil([&] { return outer().GetSize() == wxSize(width, height); })) << text(outer());
    // Centred in the desktop's work area.
    const wxRect area = wxDisplay(dialog.get()).GetClientArea();
    EXPECT_TRUE(pumpUntil([&] {
        return outer().GetPosition() == wxPoint(area.x + (area.width - width) / 2, area.y + (area.height - height) / 2);
    })) << text(outer()) << " in " << text(area);
}

}  // namespace
