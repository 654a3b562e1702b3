// The main window with a long server list on the desktop's screen, the
// questions before what ends supervision or deletes servers, Enter in the
// add strip, the edit dialog's refusals and the states the rows show.
#include <filesystem>

#include <wx/display.h>
#include <wx/testing.h>
#include <wx/uiaction.h>

#include <gtest/gtest.h>

#include <wx/choice.h>
#include <wx/listctrl.h>

#include "config/ListBackups.h"
#include "mail/AlertDispatch.h"
#include "mail/MailDelivery.h"
#include "tests/gui/DialogDriving.h"
#include "tests/gui/MainWindowFixture.h"
#include "tests/support/Desktop.h"
#include "tests/support/ScriptedSmtpPeer.h"
#include "tests/support/SmtpTestServer.h"
#include "ui/CEditSvrProcessDlg.h"
#include "ui/CRestoreListDlg.h"
#include "ui/CSettingDlg.h"
#include "ui/ProcwardTrayIcon.h"
#include "ui/RowArea.h"
#include "ui/ServerRow.h"
#include "ui/model/MainLayout.h"
#include "ui/model/RowCommand.h"
#include "ui/model/RowStatus.h"

namespace {

// Answers a yes/no box and records its text.
class AnswerQuestion : public wxExpectModalBase<wxMessageDialog, AnswerQuestion> {
public:
    AnswerQuestion(int answer, std::string& question) : answer_(answer), question_(&question) {}

protected:
    int OnInvoked(wxMessageDialog* box) const override {
        *question_ = ToU8(box->GetMessage());
        EXPECT_EQ("Procward", ToU8(box->GetTitle()));
        return answer_;
    }

private:
    int answer_;
    std::string* question_;
};

// Answers the dialog of "恢复": records what its list shows, a row of texts
// per copy, then chooses the copy in row `item` (none: -1) and presses "恢复".
class RestoreAnswer : public wxExpectModalBase<CRestoreListDlg, RestoreAnswer> {
public:
    RestoreAnswer(long item, std::vector<std::vector<std::string>>& rows) : item_(item), rows_(&rows) {}

protected:
    int OnInvoked(CRestoreListDlg* dialog) const override {
        wxListCtrl* list = dialog->list();
        rows_->clear();
        for (long row = 0; row < list->GetItemCount(); ++row) {
            std::vector<std::string> texts;
            for (int column = 0; column < list->GetColumnCount(); ++column)
                texts.push_back(ToU8(list->GetItemText(row, column)));
            rows_->push_back(texts);
        }
        if (item_ < 0) {
            EXPECT_FALSE(dialog->FindWindow(wxID_OK)->IsEnabled());
            return wxID_CANCEL;
        }
        dialog->select(item_);
        EXPECT_TRUE(dialog->FindWindow(wxID_OK)->IsEnabled());
        return wxID_OK;
    }

private:
    long item_;
    std::vector<std::vector<std::string>>* rows_;
};

class EditAnswer : public wxExpectModalBase<CEditSvrProcessDlg, EditAnswer> {
public:
    explicit EditAnswer(std::function<void(CEditSvrProcessDlg&)> change) : change_(std::move(change)) {}

protected:
    int OnInvoked(CEditSvrProcessDlg* dialog) const override {
        change_(*dialog);
        return wxID_OK;
    }

private:
    std::function<void(CEditSvrProcessDlg&)> change_;
};

#define EXPECT_NO_MODAL(code)             \
    do {                                  \
        wxTestingModalHook noModal;       \
        code;                             \
        noModal.CheckUnmetExpectations(); \
    } while (false)

class MainWindowSafetyTest : public MainWindowFixture {
protected:
    std::string serverList() const { return readFile(dir.file("serverinfo.json")); }
    void escape() {
        wxKeyEvent key(wxEVT_CHAR_HOOK);
        key.m_keyCode = WXK_ESCAPE;
        key.SetEventObject(dialog.get());
        dialog->ProcessWindowEvent(key);
    }
    // The work area of the screen that shows the window.
    wxRect workArea() const {
        const int display = wxDisplay::GetFromWindow(dialog.get());
        return wxDisplay(display == wxNOT_FOUND ? 0u : static_cast<unsigned>(display)).GetClientArea();
    }
    // A control of the row area, in the area's content coordinates.
    static wxRect inContent(RowArea* area, wxWindow* control) {
        const wxRect r = control->GetRect();
        return wxRect(area->CalcUnscrolledPosition(r.GetPosition()), r.GetSize());
    }
};

TEST_F(MainWindowSafetyTest, NinetyNineRowsFitTheScreenAndRowSixtyIsReachedByTheWheelAndClicked) {
    // 98 entries share one running process; row 60 is a server of its own.
    TestServer shared({"--role", "shared"}, program);
    std::string list = "[";
    for (int i = 1; i <= 99; ++i)
        list += (i > 1 ? "," : "") +
                (i == 60 ? server("sixty", "--role sixty") : server("s" + std::to_string(i), "--role shared"));
    list += "]";
    open(list);
    ASSERT_EQ(99u, dialog->supervisor().servers().size());
    ASSERT_TRUE(runUntil([&] { return dialog->IsShownOnScreen() && dialog->GetClientSize().y > 0; }));
    // The whole window lies on the screen's work area, add strip and bottom
    // buttons inside it, whatever the number of rows. The desktop frames and
    // places the window in its own time, later on a busy machine: what
    // counts is where it settles.
    const wxRect work = workArea();
    const auto clientOnScreen = [&] { return wxRect(dialog->ClientToScreen(wxPoint(0, 0)), dialog->GetClientSize()); };
    runUntil([&] { return work.Contains(clientOnScreen()); });
    for (int i = 0; i < 20; ++i) wxTheApp->Yield(true);
    const wxRect client = clientOnScreen();
    EXPECT_TRUE(work.Contains(client)) << "work area " << work.x << "," << work.y << " " << work.width << "x"
                                       << work.height << "; client " << client.x << "," << client.y << " "
                                       << client.width << "x" << client.height;
    const wxRect inside(dialog->GetClientSize());
    for (int id : {1001, 1000, 1002, 1008, 1009, 1003, 1004, 1006})
        EXPECT_TRUE(inside.Contains(control(id)->GetRect())) << id;

    RowArea* area = dialog->rowArea();
    const int sixty = record(60).info().pid;
    ASSERT_GT(sixty, 0);
    ServerRow* row = dialog->row(60);
    ASSERT_NE(nullptr, row);
    EXPECT_FALSE(area->shows(inContent(area, row->startStopButton)));
    // The mouse wheel over the rows, a notch at a time (real pointer input
    // through the desktop), until the row is in view.
    if (!desktop::present() && !desktop::promised()) GTEST_SKIP() << "no desktop to turn the wheel on";
    const wxPoint over = area->ClientToScreen(wxPoint(area->GetClientSize().x / 3, area->GetClientSize().y / 2));
    int notches = 0;
    while (!area->shows(inContent(area, row->startStopButton)) && notches < 200) {
        const int before = area->viewOrigin().y;
        desktop::click(over.x, over.y, 5);
        ++notches;
        // Each notch is seen once the desktop has delivered it.
        pumpUntil([&] { return area->viewOrigin().y != before; }, 5000);
    }
    ASSERT_TRUE(area->shows(inContent(area, row->startStopButton)))
        << notches << " view " << area->viewOrigin().y << " area " << area->GetClientSize().y << " button "
        << inContent(area, row->startStopButton).y << " virtual " << area->GetVirtualSize().y;
    EXPECT_GT(notches, 0);
    // Every button of the row is in view without scrolling sideways.
    EXPECT_EQ(0, area->viewOrigin().x);
    for (wxWindow* button : {static_cast<wxWindow*>(row->startStopButton), static_cast<wxWindow*>(row->editButton),
                             static_cast<wxWindow*>(row->deleteButton), static_cast<wxWindow*>(row->loadConfigButton),
                             static_cast<wxWindow*>(row->openPathButton)})
        EXPECT_TRUE(area->shows(inContent(area, button))) << button->GetId();
    // On screen where the area shows it, and the header did not move.
    const wxRect areaOnScreen(area->ClientToScreen(wxPoint(0, 0)), area->GetClientSize());
    const wxRect buttonOnScreen(row->startStopButton->GetScreenPosition(), row->startStopButton->GetSize());
    EXPECT_TRUE(areaOnScreen.Contains(buttonOnScreen));
    EXPECT_TRUE(inside.Contains(control(1001)->GetRect()));

    clickButton(dialog.get(), RowCommandId(RowCommandKind::Toggle, 60));
    ASSERT_TRUE(runUntil([&] { return record(60).info().pid == 0; }));
    EXPECT_FALSE(processAlive(sixty));
    EXPECT_EQ(shared.pid(), record(59).info().pid);
    EXPECT_EQ(shared.pid(), record(61).info().pid);

    // The last row and the first are reached as well.
    area->Scroll(1000, 1000);  // across too, on a screen narrower than the rows
    EXPECT_TRUE(area->shows(inContent(area, dialog->row(99)->openPathButton)));
    area->Scroll(0, 0);
    EXPECT_TRUE(area->shows(inContent(area, dialog->row(1)->nameLabel)));
}

TEST_F(MainWindowSafetyTest, EscapeAsksAndNoKeepsSupervisionWhileYesEndsItAndSaysHow) {
    open("[" + server("alpha", "--role a") + "]");
    std::string question;
    wxTEST_DIALOG(escape(), AnswerQuestion(wxID_NO, question));
    EXPECT_EQ(CProcwardDlg::kQuitQuestion, question);
    EXPECT_FALSE(dialog->hasEnded());
    EXPECT_TRUE(dialog->IsShown());
    EXPECT_TRUE(dialog->statusTimer().IsRunning());

    // The tray menu's "退出" asks the same.
    question.clear();
    wxTEST_DIALOG(
        {
            wxCommandEvent quit(wxEVT_MENU, ProcwardTrayIcon::kQuitCommand);
            dialog->trayIcon()->ProcessEvent(quit);
        },
        AnswerQuestion(wxID_NO, question));
    EXPECT_EQ(CProcwardDlg::kQuitQuestion, question);
    EXPECT_FALSE(dialog->hasEnded());

    wxTEST_DIALOG(escape(), AnswerQuestion(wxID_YES, question));
    EXPECT_TRUE(dialog->hasEnded());
    EXPECT_EQ(wxID_CANCEL, dialog->Run());
    EXPECT_NE(std::string::npos, log().find("Procward exiting: Escape")) << log();
}

TEST_F(MainWindowSafetyTest, WithConfirmationsOffEscapeEndsAtOnce) {
    writeFile(dir.file("procward.ini"), "[GENERAL]\nCONFIRM_DANGEROUS=0\n");
    open("[]");
    EXPECT_NO_MODAL(escape());
    EXPECT_TRUE(dialog->hasEnded());
}

TEST_F(MainWindowSafetyTest, StopAllAsksHowManyItStopsAndEscapeOnTheQuestionKeepsEveryServerRunning) {
    open("[" + server("alpha", "--role a") + "," + server("beta", "--role b") + "," + server("gamma", "--role c") +
         "]");
    // Stopped on purpose already: nothing left for "全部结束" to do to it.
    clickButton(dialog.get(), RowCommandId(RowCommandKind::Toggle, 3));
    ASSERT_TRUE(runUntil([&] { return record(3).info().pid == 0; }));
    const int a = record(1).info().pid, b = record(2).info().pid;
    std::string question;
    // Escape on a box gives its cancel answer.
    wxTEST_DIALOG(clickButton(dialog.get(), 1000), AnswerQuestion(wxID_CANCEL, question));
    EXPECT_EQ(CProcwardDlg::stopAllQuestion(2), question);
    EXPECT_NE(std::string::npos, question.find(" 2 ")) << question;
    wxTEST_DIALOG(clickButton(dialog.get(), 1000), AnswerQuestion(wxID_NO, question));
    for (int i = 0; i < 3; ++i) dialog->CheckAllServers();
    EXPECT_EQ(a, record(1).info().pid);
    EXPECT_EQ(b, record(2).info().pid);
    EXPECT_TRUE(record(1).autoStart() && record(2).autoStart());
    EXPECT_TRUE(processAlive(a) && processAlive(b));
    EXPECT_FALSE(record(1).stopping() || record(2).stopping());
    EXPECT_TRUE(control(1000)->IsEnabled());

    wxTEST_DIALOG(clickButton(dialog.get(), 1000), AnswerQuestion(wxID_YES, question));
    ASSERT_TRUE(runUntil([&] { return record(1).info().pid == 0 && record(2).info().pid == 0; }));
    EXPECT_FALSE(processAlive(a));
    EXPECT_FALSE(processAlive(b));
    EXPECT_FALSE(record(1).autoStart() || record(2).autoStart());
    // Everything is down already: nothing to ask about.
    EXPECT_NO_MODAL(clickButton(dialog.get(), 1000));
}

TEST_F(MainWindowSafetyTest, WithConfirmationsOffStopAllActsAtOnce) {
    writeFile(dir.file("procward.ini"),
              "[GENERAL]\nCONFIRM_DANGEROUS=0\nRESTART_BACKOFF_MAX=0\nSTART_CONFIRM_SECONDS=0\n");
    open("[" + server("alpha", "--role a") + "]");
    const int a = record(1).info().pid;
    ASSERT_GT(a, 0);
    EXPECT_NO_MODAL(clickButton(dialog.get(), 1000));
    ASSERT_TRUE(runUntil([&] { return record(1).info().pid == 0; }));
    EXPECT_FALSE(processAlive(a));
}

TEST_F(MainWindowSafetyTest, DeleteAllAndDeleteAskAndNoChangesNothing) {
    const std::string list = "[" + server("alpha", "--role a") + "," + server("beta", "--role b") + "]";
    open(list);
    const int a = record(1).info().pid, b = record(2).info().pid;
    std::string question;
    wxTEST_DIALOG(clickButton(dialog.get(), 1002), AnswerQuestion(wxID_NO, question));
    EXPECT_EQ(CProcwardDlg::kDeleteAllQuestion, question);
    wxTEST_DIALOG(clickButton(dialog.get(), RowCommandId(RowCommandKind::Delete, 2)),
                  AnswerQuestion(wxID_NO, question));
    EXPECT_EQ(CProcwardDlg::deleteQuestion("beta"), question);
    dialog->CheckAllServers();
    EXPECT_EQ(list, serverList());
    EXPECT_FALSE(std::filesystem::exists(dir.file("serverinfo.json.bak")));
    EXPECT_EQ(a, record(1).info().pid);
    EXPECT_EQ(b, record(2).info().pid);
    EXPECT_TRUE(record(1).autoStart() && record(2).autoStart());
    EXPECT_TRUE(processAlive(a) && processAlive(b));

    // Yes: every server stops, the list is emptied and the old one kept.
    wxTEST_DIALOG(clickButton(dialog.get(), 1002), AnswerQuestion(wxID_YES, question));
    ASSERT_TRUE(runUntil([&] { return serverList() == "[]"; }));
    const auto copies = ListBackups(dir.file("serverinfo.json")).generations();
    ASSERT_EQ(1u, copies.size());
    EXPECT_EQ(list, readFile(copies.front().path));
    EXPECT_FALSE(processAlive(a));
    EXPECT_FALSE(processAlive(b));
}

TEST_F(MainWindowSafetyTest, RestoreBringsBackTheListThatDeleteAllEmptied) {
    const std::string list = "[" + server("alpha", "--role a") + "," + server("beta", "--role b") + "]";
    open(list);
    std::vector<std::vector<std::string>> rows;
    // Nothing changed yet: nothing to bring back.
    wxTEST_DIALOG(clickButton(dialog.get(), CProcwardDlg::IDC_RESTORE), RestoreAnswer(-1, rows));
    EXPECT_TRUE(rows.empty());
    std::string question;
    wxTEST_DIALOG(clickButton(dialog.get(), 1002), AnswerQuestion(wxID_YES, question));
    ASSERT_TRUE(runUntil([&] { return serverList() == "[]" && dialog->supervisor().servers().empty(); }));

    const auto copies = ListBackups(dir.file("serverinfo.json")).generations();
    ASSERT_EQ(1u, copies.size());
    const std::string time = ListBackups::localTimeText(copies.front().made);
    // "否" on the question after choosing keeps the empty list.
    wxTEST_DIALOG(clickButton(dialog.get(), CProcwardDlg::IDC_RESTORE), RestoreAnswer(0, rows),
                  AnswerQuestion(wxID_NO, question));
    EXPECT_EQ((std::vector<std::vector<std::string>>{{"1", time, "2"}}), rows);
    EXPECT_EQ(CProcwardDlg::restoreQuestion(time, 2, 0), question);
    EXPECT_EQ("[]", serverList());

    wxTEST_DIALOG(clickButton(dialog.get(), CProcwardDlg::IDC_RESTORE), RestoreAnswer(0, rows),
                  AnswerQuestion(wxID_YES, question));
    EXPECT_EQ(list, serverList());
    ASSERT_TRUE(runUntil([&] {
        return dialog->supervisor().servers().size() == 2 && record(1).state() == ServerState::Running &&
               record(2).state() == ServerState::Running;
    }));
    EXPECT_EQ("alpha", ToU8(dialog->row(1)->nameLabel->GetLabel()));
    EXPECT_EQ("beta", ToU8(dialog->row(2)->nameLabel->GetLabel()));
    EXPECT_TRUE(processAlive(record(1).info().pid) && processAlive(record(2).info().pid));
    // The empty list it replaced is kept in its turn.
    const auto after = ListBackups(dir.file("serverinfo.json")).generations();
    ASSERT_EQ(2u, after.size());
    EXPECT_EQ("[]", readFile(after.front().path));
    EXPECT_NE(std::string::npos, log().find("Restored copy 1 of serverinfo.json: added: alpha, beta")) << log();
}

TEST_F(MainWindowSafetyTest, TheFocusStaysOnAStoppedRowAndEnterOutsideTheStripPressesNothing) {
    open("[" + server("alpha", "--role a") + "," + server("beta", "--role b") + "," + server("gamma", "--role c") +
         "]");
    // Kept down on purpose: "全部开始" would start it.
    clickButton(dialog.get(), RowCommandId(RowCommandKind::Toggle, 3));
    ASSERT_TRUE(runUntil([&] { return record(3).info().pid == 0; }));
    ASSERT_TRUE(runUntil([&] { return dialog->IsActive(); })) << "the window never got the keyboard";
    const int toggle = RowCommandId(RowCommandKind::Toggle, 2);
    control(toggle)->SetFocus();
    ASSERT_TRUE(runUntil([&] { return focusedId() == toggle; }));
    const wxPoint view = dialog->rowArea()->viewOrigin();
    const int beta = record(2).info().pid;

    // Space presses the focused button (real keys, through the desktop): the
    // stop finishes and the keyboard is where it was, nothing scrolled.
    wxUIActionSimulator keyboard;
    keyboard.Char(' ');
    ASSERT_TRUE(runUntil([&] { return record(2).info().pid == 0; }));
    EXPECT_FALSE(processAlive(beta));
    ASSERT_TRUE(runUntil([&] { return focusedId() == toggle; })) << focusedId();
    EXPECT_EQ(view, dialog->rowArea()->viewOrigin());
    EXPECT_EQ("启动", labelOf(control(toggle)));

    // Enter on that button presses neither it nor "全部开始"; the Space
    // after it does press it, so once it has, the Enter has been handled.
    keyboard.Char(WXK_RETURN);
    keyboard.Char(' ');
    ASSERT_TRUE(runUntil([&] { return record(2).info().pid > 0; }));
    for (int i = 0; i < 3; ++i) dialog->CheckAllServers();
    EXPECT_GT(record(2).info().pid, 0);
    EXPECT_TRUE(record(2).autoStart());
    EXPECT_EQ(0, record(3).info().pid);
    EXPECT_FALSE(record(3).autoStart());
    EXPECT_EQ(toggle, focusedId());

    // A reload takes the focused button away: the keyboard stays in the
    // window, on no row's button, and nothing scrolled.
    std::string question;
    wxTEST_DIALOG(clickButton(dialog.get(), RowCommandId(RowCommandKind::Delete, 3)),
                  AnswerQuestion(wxID_YES, question));
    ASSERT_TRUE(runUntil([&] { return dialog->supervisor().servers().size() == 2; }));
    control(toggle)->SetFocus();
    wxTEST_DIALOG(clickButton(dialog.get(), RowCommandId(RowCommandKind::Delete, 1)),
                  AnswerQuestion(wxID_YES, question));
    ASSERT_TRUE(runUntil([&] { return dialog->supervisor().servers().size() == 1; }));
    ASSERT_TRUE(runUntil([&] { return wxWindow::FindFocus() == dialog->headerStrip(); })) << focusedId();
    EXPECT_EQ(view, dialog->rowArea()->viewOrigin());
    // Enter there starts nothing either, not even a server kept down.
    clickButton(dialog.get(), RowCommandId(RowCommandKind::Toggle, 1));
    ASSERT_TRUE(runUntil([&] { return record(1).info().pid == 0; }));
    wxKeyEvent enter(wxEVT_CHAR_HOOK);
    enter.m_keyCode = WXK_RETURN;
    enter.SetEventObject(dialog->headerStrip());
    EXPECT_NO_MODAL(dialog->ProcessWindowEvent(enter));
    for (int i = 0; i < 3; ++i) dialog->CheckAllServers();
    EXPECT_EQ(0, record(1).info().pid);
}

TEST_F(MainWindowSafetyTest, EnterInTheAddStripAddsOneServerAndStartsNoOther) {
    open("[" + server("alpha", "--role a") + "]");
    // Stopped on purpose: "全部开始" would start it again.
    clickButton(dialog.get(), RowCommandId(RowCommandKind::Toggle, 1));
    ASSERT_TRUE(runUntil([&] { return record(1).info().pid == 0; }));
    ASSERT_TRUE(runUntil([&] { return dialog->IsActive(); })) << "the window never got the keyboard";

    editOf(dialog.get(), 1004)->ChangeValue("beta");
    editOf(dialog.get(), 1005)->ChangeValue("procward-testserver");
    editOf(dialog.get(), 1006)->ChangeValue(program + " --role b");
    editOf(dialog.get(), 1006)->SetFocus();
    ASSERT_TRUE(runUntil([&] { return focusedId() == 1006; }));
    // A real key press, through the desktop.
    wxUIActionSimulator keyboard;
    EXPECT_NO_MODAL({
        keyboard.Char(WXK_RETURN);
        ASSERT_TRUE(runUntil([&] { return dialog->supervisor().servers().size() == 2; }));
    });
    EXPECT_EQ("[" + server("alpha", "--role a") + "," + server("beta", "--role b") + "]", serverList());
    EXPECT_GT(record(2).info().pid, 0);
    dialog->CheckAllServers();
    EXPECT_EQ(0, record(1).info().pid);
    EXPECT_FALSE(record(1).autoStart());
}

TEST_F(MainWindowSafetyTest, EditRefusesAnEmptyNameAndAnotherRowsCommandLine) {
    const std::string list = "[" + server("alpha", "--role a") + "," + server("beta", "--role b") + "]";
    open(list);
    const int a = record(1).info().pid, b = record(2).info().pid;
    std::string message;
    wxTEST_DIALOG(clickButton(dialog.get(), RowCommandId(RowCommandKind::Edit, 1)),
                  EditAnswer([](CEditSvrProcessDlg& d) { d.m_name = "  "; }), ExpectMessageBox(message));
    EXPECT_EQ("名称不能为空！", message);
    // Letter case does not make a command line another one.
    wxTEST_DIALOG(clickButton(dialog.get(), RowCommandId(RowCommandKind::Edit, 1)),
                  EditAnswer([this](CEditSvrProcessDlg& d) { d.m_commandLine = program + " --ROLE B "; }),
                  ExpectMessageBox(message));
    EXPECT_EQ("命令行已存在！", message);
    EXPECT_EQ(list, serverList());
    dialog->CheckAllServers();
    EXPECT_EQ(a, record(1).info().pid);
    EXPECT_EQ(b, record(2).info().pid);
    EXPECT_TRUE(processAlive(a) && processAlive(b));

    // Its own texts are no duplicate of itself.
    EXPECT_NO_MODAL(wxTEST_DIALOG(clickButton(dialog.get(), RowCommandId(RowCommandKind::Edit, 1)),
                                  EditAnswer([](CEditSvrProcessDlg& d) { d.m_name = "ALPHA"; })));
    EXPECT_EQ("[" + server("ALPHA", "--role a") + "," + server("beta", "--role b") + "]", serverList());
}

TEST_F(MainWindowSafetyTest, ACrashLoopingServerShowsNoDeadProcessAndTheTrayNamesIt) {
    // The back-off as a new installation has it.
    writeFile(dir.file("procward.ini"), "[GENERAL]\nRESTART_BACKOFF_MAX=60\n");
    open("[" + server("steady", "--role steady") + "," + server("crasher", "--exit-after 20") + "]");
    // It dies young again and again: the back-off holds its next start.
    ASSERT_TRUE(runUntil([&] { return record(2).state() == ServerState::Backoff; })) << log();
    ServerRow* row = dialog->row(2);
    EXPECT_EQ("", ToU8(row->pidLabel->GetLabel()));
    EXPECT_EQ("启动", labelOf(row->startStopButton));
    EXPECT_EQ(RowStatus::stateText(ServerState::Backoff), ToU8(row->portsLabel->GetLabel()));
    EXPECT_EQ(RowColour::Alarm, row->colour());
    const std::string tip = ToU8(row->pidLabel->GetToolTipText());
    EXPECT_NE(std::string::npos, tip.find("上次退出：退出码 3，运行了 ")) << tip;
    EXPECT_EQ("退出码 3", ToU8(row->lastExitLabel->GetLabel()));
    EXPECT_NE(std::string::npos, tip.find(RowStatus::kLegend)) << tip;
    // The tray counts the running server only and names the one that is down.
    EXPECT_EQ("Procward\n运行 1\n不健康 0\n停止 1\n未运行：crasher", dialog->trayIcon()->tooltip());
    EXPECT_EQ(RowColour::Plain, dialog->row(1)->colour());
}

TEST_F(MainWindowSafetyTest, AStopThatWaitsCountsDownAndKillNowEndsIt) {
    writeFile(dir.file("procward.ini"), "[GENERAL]\nSTOP_TIMEOUT=3600\n");
    // It says when it ignores the request to end.
    open(R"([{"name":"stubborn","processname":"procward-testserver","commandline":")" + program +
         R"( --ignore-term","env":{"PROCWARD_READY_FILE":")" + dir.file("ready") + R"("}}])");
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(dir.file("ready")); }));
    const int pid = record(1).info().pid;
    const int toggle = RowCommandId(RowCommandKind::Toggle, 1);
    clickButton(dialog.get(), toggle);
    ASSERT_TRUE(record(1).stopping());
    EXPECT_EQ(RowStatus::kKillNowCaption, labelOf(control(toggle)));
    const std::string counting = ToU8(dialog->row(1)->portsLabel->GetLabel());
    EXPECT_EQ(0u, counting.rfind("停止中 3", 0)) << counting;  // 3600 s, or 3599 once a second has gone
    EXPECT_EQ(RowColour::Busy, dialog->row(1)->colour());
    EXPECT_TRUE(processAlive(pid));
    // The tooltip does not count a server on its way down as running.
    EXPECT_EQ(0u, dialog->trayIcon()->tooltip().rfind("Procward\n运行 0\n不健康 0\n停止 1", 0));

    clickButton(dialog.get(), toggle);
    ASSERT_TRUE(runUntil([&] { return record(1).info().pid == 0; }));
    EXPECT_FALSE(processAlive(pid));
    EXPECT_EQ("启动", labelOf(control(toggle)));
    EXPECT_FALSE(record(1).autoStart());
    EXPECT_EQ(std::string::npos, log().find("did not end within the stop time-out"));
}

}  // namespace

namespace {

TEST_F(MainWindowSafetyTest, TheTestMailDoesNotWaitBehindQueuedAlerts) {
    open("[]");
    // Alerts stuck behind a mail server that accepts and never answers.
    ScriptedSmtpPeer::Replies replies;
    replies.greeting = ScriptedSmtpPeer::kSilent;
    ScriptedSmtpPeer silent(replies);
    AlertMailSettingsData alerts;
    alerts.smtpServer = "127.0.0.1";
    alerts.smtpPort = std::to_string(silent.port());
    alerts.smtpMailTo = "ops@example.test";
    alerts.smtpSecurity = SmtpSecurity::None;
    MailDelivery& alertMails = dialog->runtime().mailDelivery();
    for (int i = 0; i < 5; ++i) alertMails.enqueue(TestMailThrough(alerts));
    ASSERT_TRUE(pumpUntil([&] { return alertMails.counts().inFlight; }));

    SmtpTestServer server;
    std::string answer;
    bool driven = false;
    dialog->CallAfter([&] {
        // Inside the settings dialog's own loop.
        for (wxWindow* window : wxTopLevelWindows)
            if (auto* settings = dynamic_cast<CSettingDlg*>(window); settings && settings->IsModal()) {
                driven = true;
                editOf(settings, 1010)->ChangeValue(server.host());
                editOf(settings, 1011)->ChangeValue(server.portText());
                editOf(settings, 1012)->ChangeValue(server.user());
                editOf(settings, 1013)->ChangeValue(server.password());
                editOf(settings, 1015)->ChangeValue("ops@example.test");
                dynamic_cast<wxChoice*>(settings->FindWindow(1017))->SetSelection(3);
                wxTEST_DIALOG(
                    {
                        clickButton(settings, 1016);
                        EXPECT_TRUE(pumpUntil([&] { return buttonOf(settings, 1016)->IsEnabled(); }));
                    },
                    ExpectMessageBox(answer));
                settings->EndModal(wxID_CANCEL);
            }
    });
    dialog->OnSysCommand(CProcwardDlg::IDM_SETTINGS);
    ASSERT_TRUE(driven);
    EXPECT_EQ("测试邮件发送成功，请点击 '保存' 按钮保存SMTP设置!", answer);
    EXPECT_EQ(1u, server.waitForMessages(1).size());
    // The alerts still wait for their server.
    EXPECT_TRUE(alertMails.counts().inFlight);
    alertMails.shutdown(std::chrono::milliseconds(0));
}

}  // namespace
