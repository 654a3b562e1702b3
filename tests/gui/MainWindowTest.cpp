#include <functional>

#include <wx/button.h>
#include <wx/menu.h>
#include <wx/msgdlg.h>
#include <wx/stattext.h>
#include <wx/testing.h>
#include <wx/textctrl.h>

#include <gtest/gtest.h>

#include "app/core/StatusBoard.h"
#include "tests/gui/MainWindowFixture.h"
#include <ctime>

#include <wx/listctrl.h>

#include "tests/gui/DialogDriving.h"
#include "ui/CProcwardDlg.h"
#include "ui/CRecentEventsDlg.h"
#include "ui/DialogTemplate.h"
#include "ui/MainWindowGlobals.h"
#include "ui/RowArea.h"
#include "ui/ServerRow.h"
#include "ui/model/MainLayout.h"

namespace {

using MainWindowTest = MainWindowFixture;

TEST_F(MainWindowTest, ShowsTheTemplateControlsWithTheirTexts) {
    open("[]");
    EXPECT_EQ("Procward", ToU8(dialog->GetTitle()));
    const std::pair<int, const char*> buttons[] = {{1010, "..."},      {1003, "添加"},     {1011, "更新时间"},
                                                   {1001, "全部开始"}, {1000, "全部结束"}, {1002, "全部删除"},
                                                   {1008, "全部加载"}, {1009, "全部打开"}};
    for (const auto& [id, text] : buttons) {
        EXPECT_NE(nullptr, dynamic_cast<wxButton*>(control(id))) << id;
        EXPECT_EQ(text, labelOf(control(id))) << id;
    }
    for (int id : {1004, 1005, 1006}) EXPECT_NE(nullptr, dynamic_cast<wxTextCtrl*>(control(id))) << id;
    EXPECT_EQ("添加监控对象", labelOf(control(1007)));
    // No default button: Enter acts in the add strip only.
    EXPECT_EQ(nullptr, dialog->GetDefaultItem());

    std::vector<std::string> statics;
    std::function<void(wxWindow*)> collect = [&](wxWindow* parent) {
        for (wxWindow* child : parent->GetChildren()) {
            if (auto* text = dynamic_cast<wxStaticText*>(child)) statics.push_back(ToU8(text->GetLabel()));
            collect(child);
        }
    };
    collect(dialog.get());
    for (const char* expected :
         {"名称：", "文件名：", "命令行：", "提示：请记住启动充值回调apache 服务器！", "名称", "命令行", "进程ID",
          "监听端口", "启动时间", "运行时长", "重启次数", "上次退出", "CPU", "内存", "管理操作"})
        EXPECT_NE(statics.end(), std::find(statics.begin(), statics.end(), expected)) << expected;
    for (const auto& text : statics) EXPECT_FALSE(text.empty());

    // The bottom buttons carry the row font.
    EXPECT_EQ(g_rowFont, control(1001)->GetFont());
    // The timer is set for the first tick, one check interval away at most.
    EXPECT_TRUE(dialog->statusTimer().IsRunning());
    EXPECT_LE(dialog->statusTimer().GetInterval(), dialog->checkInterval() * 1000 + 1);
}

TEST_F(MainWindowTest, RowsFollowTheirIndexesAndTheWindowFitsTheRecords) {
    const int port = freeTcpPort();
    open("[" + server("alpha", "--listen 127.0.0.1:" + std::to_string(port)) + R"(,{"name":"skipped"},)" +
         server("gamma", "--role gamma") + "]");
    auto& servers = dialog->supervisor().servers();
    ASSERT_EQ(2u, servers.size());
    ASSERT_TRUE(servers.count(1) && servers.count(3));

    // The first check started both servers before their rows were made; the
    // address shows once the server has settled.
    const ServerInfo& alpha = servers.at(1)->info();
    EXPECT_GT(alpha.pid, 0);
    ASSERT_TRUE(runUntil([&] { return alpha.ports == "127.0.0.1:" + std::to_string(port); }));
    EXPECT_EQ(alpha.ports, ToU8(dialog->row(1)->portsLabel->GetLabel()));
    EXPECT_EQ("停止", labelOf(control(1025)));
    EXPECT_EQ("停止", labelOf(control(1027)));
    EXPECT_EQ(nullptr, control(1026));
    for (int id : {1125, 1225, 1325, 1425, 1127, 1227, 1327, 1427}) EXPECT_NE(nullptr, control(id)) << id;
    EXPECT_EQ("编辑", labelOf(control(1225)));
    EXPECT_EQ("删除", labelOf(control(1125)));
    EXPECT_EQ("加载配置", labelOf(control(1325)));
    EXPECT_EQ("打开路径", labelOf(control(1425)));

    const int originY = g_rowOriginY;
    EXPECT_EQ(dialog->FindWindow(1007)->GetRect().height + 25, originY);
    // The rows sit in their scrolling area, which starts below the header:
    // unscrolled, a row is where the template puts it in the window.
    RowArea* area = dialog->rowArea();
    EXPECT_EQ(originY + 25, area->GetPosition().y);
    const auto at = [](const MainLayout::Rect& r) { return wxRect(r.left, r.top, r.width, r.height); };
    const auto inContent = [area](wxWindow* control) {
        return wxRect(area->CalcUnscrolledPosition(control->GetPosition()), control->GetSize());
    };
    const int rowTop = MainLayout::kRowAreaOriginY;
    EXPECT_EQ(at(MainLayout::rowControl(rowTop, 1, MainLayout::StartStop)), inContent(control(1025)));
    EXPECT_EQ(at(MainLayout::rowControl(rowTop, 3, MainLayout::OpenPath)), inContent(control(1427)));
    EXPECT_EQ(originY + 30, area->GetPosition().y + control(1025)->GetPosition().y);
    // Two records: the window takes the template's size for two rows (the
    // screen is large enough); the row of index 3 stays reachable in the
    // area, and the bottom buttons stand below the area.
    EXPECT_EQ(wxSize(23 + 1355 + 180, originY + 30 * 2 + 128), dialog->fittedSize());
    EXPECT_EQ(area->GetRect().GetBottom() + 1, control(1001)->GetRect().y);
    int width = 0, height = 0;
    area->GetVirtualSize(&width, &height);
    EXPECT_LE(inContent(control(1427)).GetBottom(), height);
}

TEST_F(MainWindowTest, InAWindowNarrowerThanTheRowsTheNamesStayInViewWhileTheRowsScrollSideways) {
    open("[" + server("alpha", "--role alpha") + "," + server("beta", "--role beta") + "]");
    RowArea* area = dialog->rowArea();
    // Made narrower as the operator drags its edge; the desktop may still be
    // placing the newly shown window, which sizes it again meanwhile.
    ASSERT_TRUE(runUntil([&] {
        if (area->GetClientSize().x < dialog->FromDIP(MainLayout::kRowsClientWidth)) return true;
        dialog->SetClientSize(dialog->FromDIP(wxSize(MainLayout::kMinClientWidth, 400)));
        return false;
    })) << area->GetClientSize().x;
    ServerRow* row = dialog->row(2);
    wxWindow* nameHeader = dialog->columnHeaders().front();
    wxWindow* commandHeader = dialog->columnHeaders()[1];
    const wxPoint nameAt = row->nameLabel->GetPosition(), headerAt = nameHeader->GetPosition();
    const wxPoint commandAt = row->commandLineLabel->GetPosition(), commandHeaderAt = commandHeader->GetPosition();
    EXPECT_EQ(dialog->FromDIP(MainLayout::kOriginX), nameAt.x);

    // Scrolled to the far right (as the scroll bar or the keys do): the
    // buttons come into view, the names and their header stay where they
    // were, the other cells and headers move left under them.
    // The toolkit tells the area of the scroll in its own time.
    area->Scroll(10000, 0);
    const int across = area->viewOrigin().x;
    ASSERT_GT(across, 0);
    ASSERT_TRUE(runUntil([&] { return commandHeader->GetPosition().x == commandHeaderAt.x - across; }));
    EXPECT_TRUE(area->shows(
        wxRect(area->CalcUnscrolledPosition(row->openPathButton->GetPosition()), row->openPathButton->GetSize())));
    // Pinned at the view's left edge, covering the margin before the column.
    EXPECT_EQ(wxPoint(0, nameAt.y), row->nameLabel->GetPosition());
    EXPECT_EQ(wxPoint(0, headerAt.y), nameHeader->GetPosition());
    EXPECT_EQ(dialog->FromDIP(MainLayout::kOriginX + 120), row->nameLabel->GetSize().x);
    EXPECT_EQ(commandAt.x - across, row->commandLineLabel->GetPosition().x);
    EXPECT_EQ(commandHeaderAt.x - across, commandHeader->GetPosition().x);
    EXPECT_EQ("beta", labelOf(row->nameLabel));
    // The right click on the pinned name is still its row's.
    EXPECT_EQ(2, dialog->RowAt(row->nameLabel, wxDefaultPosition));

    // A reload while scrolled keeps the new rows' names in view too.
    dialog->ReloadServers();
    EXPECT_EQ(0, dialog->row(1)->nameLabel->GetPosition().x);
    area->Scroll(0, 0);
    ASSERT_TRUE(runUntil([&] { return commandHeader->GetPosition() == commandHeaderAt; }));
    EXPECT_EQ(nameAt, dialog->row(2)->nameLabel->GetPosition());
    EXPECT_EQ(headerAt, nameHeader->GetPosition());
    EXPECT_EQ(commandAt, dialog->row(2)->commandLineLabel->GetPosition());
    EXPECT_EQ(commandHeaderAt, commandHeader->GetPosition());
}

TEST_F(MainWindowTest, ATickShowsTheRestartedServerOfAKilledProcessWithItsCountsClocksAndUsage) {
    writeFile(dir.file("procward.ini"), "[GENERAL]\nCHECK_SVR_STATUS_INTERVAL=1\n");
    open("[" + server("alpha", "--role alpha") + "," + server("busy", "--spin") + "]");
    const MonitoredServer& alpha = record(1);
    const int first = alpha.info().pid;
    ASSERT_GT(first, 0);
    ServerRow* row = dialog->row(1);
    // One that dies sooner than an interval after its start counts as a
    // failed start, which waits: this one has run longer, and its row says
    // so in whole seconds.
    ASSERT_TRUE(runUntil([&] {
        return labelOf(row->uptimeLabel).rfind("秒") != std::string::npos &&
               alpha.runningFor() > std::chrono::seconds(2) && labelOf(row->uptimeLabel).rfind("0.", 0) != 0 &&
               labelOf(row->uptimeLabel).rfind("1.", 0) != 0;
    })) << labelOf(row->uptimeLabel);
    wxWindow* pidCell = row->pidLabel;
    ASSERT_EQ(std::to_string(first), ToU8(pidCell->GetLabel()));
    EXPECT_EQ("0", labelOf(row->restartsLabel));
    EXPECT_EQ("", labelOf(row->lastExitLabel));
    // Usage after two looks at the same process: the spinning server keeps
    // most of a core busy, the idle one hardly any; both hold memory.
    const auto percent = [](ServerRow* r) {
        const std::string text = labelOf(r->cpuLabel);
        return text.empty() ? -1.0 : std::stod(text);
    };
    ASSERT_TRUE(runUntil([&] { return percent(dialog->row(2)) >= 30.0 && percent(row) >= 0; }))
        << labelOf(dialog->row(2)->cpuLabel);
    EXPECT_LT(percent(row), 30.0);
    for (ServerRow* r : {row, dialog->row(2)}) {
        const std::string memory = labelOf(r->memoryLabel);
        EXPECT_TRUE(memory.ends_with(" MB") || memory.ends_with(" KB")) << memory;
    }

    killAndWait(first);
    dialog->CheckAllServers();
    ASSERT_GT(alpha.info().pid, 0);
    EXPECT_NE(first, alpha.info().pid);
    EXPECT_EQ(std::to_string(alpha.info().pid), ToU8(pidCell->GetLabel()));
    EXPECT_EQ("停止", labelOf(control(1025)));
    // The row says how the killed process ended, in the window's words, and
    // counts the restart as ctl and the metrics do; the clock starts again
    // and the new process has no usage of its own yet.
    EXPECT_EQ("被信号 9 (SIGKILL) 终止", labelOf(row->lastExitLabel));
    EXPECT_EQ("1", labelOf(row->restartsLabel));
    EXPECT_EQ(std::to_string(StatusBoard::snapshotOf(dialog->supervisor()).servers[0].restarts),
              labelOf(row->restartsLabel));
    EXPECT_EQ(0u, labelOf(row->uptimeLabel).rfind("0.", 0)) << labelOf(row->uptimeLabel);
    EXPECT_EQ("", labelOf(row->cpuLabel));
    EXPECT_EQ("0", labelOf(dialog->row(2)->restartsLabel));
    const std::string tip = ToU8(row->lastExitLabel->GetToolTipText());
    EXPECT_NE(std::string::npos, tip.find("上次退出：被信号 9 (SIGKILL) 终止，运行了 ")) << tip;
    EXPECT_NE(std::string::npos, tip.find("重启次数：1")) << tip;
    // The new process is measured in turn.
    ASSERT_TRUE(runUntil([&] { return percent(row) >= 0; }));
}

TEST_F(MainWindowTest, RecentEventsListAKillAndItsRestartNewestFirstAndFollowWhileOpen) {
    open("[" + server("alpha", "--role alpha") + "," + server("beta", "--role beta") + "]");
    const int first = record(2).info().pid;
    ASSERT_GT(first, 0);
    clickButton(dialog.get(), CProcwardDlg::IDC_EVENTS);
    CRecentEventsDlg* view = dialog->eventsView();
    ASSERT_NE(nullptr, view);
    EXPECT_EQ("最近事件", ToU8(view->GetTitle()));
    // The servers' first starts are there already.
    ASSERT_TRUE(runUntil([&] { return view->list()->GetItemCount() >= 2; }));
    const long before = view->list()->GetItemCount();

    killAndWait(first);
    ASSERT_TRUE(runUntil([&] { return record(2).info().pid > 0 && record(2).info().pid != first; }));
    ASSERT_TRUE(runUntil([&] { return view->list()->GetItemCount() >= before + 2; }));
    // Newest first: the restart, then the end that caused it, in Chinese.
    long restarted = -1, ended = -1;
    for (long item = view->list()->GetItemCount() - 1; item >= 0; --item) {
        if (view->cell(item, 1) != "beta") continue;
        if (view->cell(item, 2) == "进程退出（被信号 9 (SIGKILL) 终止），将重启") ended = item;
        if (view->cell(item, 2).rfind("重启成功", 0) == 0) restarted = item;
    }
    ASSERT_GE(ended, 0) << view->cell(0, 2);
    ASSERT_GE(restarted, 0) << view->cell(0, 2);
    EXPECT_LT(restarted, ended);
    EXPECT_EQ("重启成功，进程ID " + std::to_string(record(2).info().pid), view->cell(restarted, 2));
    EXPECT_EQ(RecentEvents::timeText(std::time(nullptr)).substr(0, 10), view->cell(ended, 0).substr(0, 10));
    // The other server had nothing happen to it but its start.
    for (long item = 0; item < view->list()->GetItemCount(); ++item)
        if (view->cell(item, 1) == "alpha") {
            EXPECT_EQ("启动成功", view->cell(item, 2));
        }

    // The button raises the open list rather than opening a second; Escape
    // closes it and leaves the window (and the program) be.
    clickButton(dialog.get(), CProcwardDlg::IDC_EVENTS);
    EXPECT_EQ(view, dialog->eventsView());
    view->list()->SetFocus();
    wxKeyEvent escape(wxEVT_CHAR_HOOK);
    escape.m_keyCode = WXK_ESCAPE;
    escape.SetEventObject(view->list());
    view->list()->GetEventHandler()->ProcessEvent(escape);
    EXPECT_EQ(nullptr, dialog->eventsView());
    EXPECT_FALSE(dialog->hasEnded());
}

TEST_F(MainWindowTest, TheRowMenusRestartReplacesTheProcessAndTheRowSaysHowTheOldOneEnded) {
    writeFile(dir.file("procward.ini"), "[GENERAL]\nRESTART_BACKOFF_MAX=0\nSTART_CONFIRM_SECONDS=0\nSTOP_TIMEOUT=30\n");
    open("[" + server("alpha", "--role alpha") + "," + server("beta", "--role beta") + "]");
    const int first = record(2).info().pid, other = record(1).info().pid;
    ASSERT_GT(first, 0);
    const std::unique_ptr<wxMenu> menu = dialog->RowMenu(2);
    const int id = menu->FindItem(U8("重启"));
    ASSERT_EQ(CProcwardDlg::IDM_RESTART, id);
    wxCommandEvent chosen(wxEVT_MENU, id);
    dialog->GetEventHandler()->ProcessEvent(chosen);
    ASSERT_TRUE(runUntil([&] { return record(2).info().pid > 0 && record(2).info().pid != first; })) << log();
    EXPECT_FALSE(processAlive(first));
    EXPECT_TRUE(record(2).autoStart());
    EXPECT_EQ(other, record(1).info().pid);
    ASSERT_TRUE(runUntil([&] { return labelOf(dialog->row(2)->lastExitLabel) == "被信号 15 (SIGTERM) 终止"; }))
        << labelOf(dialog->row(2)->lastExitLabel);
    EXPECT_EQ("", labelOf(dialog->row(1)->lastExitLabel));
    EXPECT_EQ("停止", labelOf(control(1026)));
    EXPECT_EQ(std::to_string(record(2).info().pid), labelOf(dialog->row(2)->pidLabel));
}

TEST_F(MainWindowTest, CloseKeepsTheWindowAndEscapeEndsItOnceConfirmed) {
    open("[]");
    wxCloseEvent close(wxEVT_CLOSE_WINDOW, dialog->GetId());
    close.SetEventObject(dialog.get());
    dialog->ProcessWindowEvent(close);
    // With a notification area the window hides; without one it must stay
    // reachable (it is minimised, which needs a window manager to be seen).
    EXPECT_EQ(!dialog->trayAvailable(), dialog->IsShown());
    EXPECT_TRUE(dialog->statusTimer().IsRunning());

    // The tray icon brings it back; another icon's notification is ignored.
    EXPECT_EQ(1, dialog->OnTrayNotify(129, CProcwardDlg::kLeftButtonUp));
    EXPECT_EQ(0, dialog->OnTrayNotify(CProcwardDlg::kTrayIconId, CProcwardDlg::kLeftButtonUp));
    EXPECT_TRUE(dialog->IsShown());
    EXPECT_FALSE(dialog->IsIconized());

    wxKeyEvent escape(wxEVT_CHAR_HOOK);
    escape.m_keyCode = WXK_ESCAPE;
    escape.SetEventObject(dialog.get());
    wxTEST_DIALOG(dialog->ProcessWindowEvent(escape), wxExpectModal<wxMessageDialog>(wxID_YES));
    EXPECT_EQ(wxID_CANCEL, dialog->GetReturnCode());
    EXPECT_FALSE(dialog->IsShown());
}

}  // namespace
