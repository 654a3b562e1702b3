#include <cstdio>
#include <string>
#include <vector>

#include <wx/checkbox.h>
#include <wx/menu.h>
#include <wx/testing.h>
#include <wx/textctrl.h>
#include <wx/uiaction.h>

#include <gtest/gtest.h>

#include "platform/Shell.h"
#include "supervision/ServerOutputFile.h"
#include "tests/gui/DialogDriving.h"
#include "tests/gui/MainWindowFixture.h"
#include "ui/ServerOutputDlg.h"
#include "ui/ServerRow.h"

namespace {

// Remembers the folders the view asks the desktop to open.
class FolderShell : public platform::Shell {
public:
    FolderShell() { platform::setShell(this); }
    ~FolderShell() override { platform::setShell(nullptr); }
    bool runScript(const std::string&, const std::string&, bool) override { return true; }
    bool openDirectory(const std::string& directory) override {
        opened.push_back(directory);
        return true;
    }
    std::vector<std::string> opened;
};

std::string countLine(unsigned long long n) {
    char head[32];
    std::snprintf(head, sizeof head, "count %08llu ", n);
    return head;
}

std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t found = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++found;
    return found;
}

// The number of the last counted line in `text`; 0 when there is none.
unsigned long long lastCount(const std::string& text) {
    const std::size_t at = text.rfind("count ");
    return at == std::string::npos ? 0 : std::stoull(text.substr(at + 6, 8));
}

class ServerOutputViewTest : public MainWindowFixture {
protected:
    // The window's loop, as runUntil runs it, with room for a busy machine.
    template <class F>
    bool runLongUntil(F done) {
        return waitFor(
            [&] {
                wxTheApp->Yield(true);
                dialog->RunSupervisor();
                return done();
            },
            60000);
    }
    unsigned long long lastCountIn(const std::string& file) {
        const std::vector<std::string> lines = ServerOutputFile::lastLines(file, 1);
        return lines.empty() ? 0 : lastCount(lines.front());
    }
};

TEST_F(ServerOutputViewTest, RowMenuOpensAViewThatShowsTheLastLinesAndFollowsNewOnes) {
    open("[" + server("writer", "--count-lines 100 1") + "]");
    ASSERT_TRUE(runLongUntil([&] { return record(1).info().pid > 0 && !record(1).capturedIn().empty(); }));
    const std::string file = record(1).outputFile();
    ASSERT_TRUE(runLongUntil([&] { return lastCountIn(file) >= 3; }));

    // A right click on any cell of the row is the row's, and its menu
    // opens the view of that server.
    EXPECT_EQ(1, dialog->RowAt(dialog->row(1)->pidLabel, wxDefaultPosition));
    EXPECT_EQ(-1, dialog->RowAt(dialog.get(), wxDefaultPosition));
    const std::unique_ptr<wxMenu> menu = dialog->RowMenu(1);
    const int id = menu->FindItem(U8("查看输出"));
    ASSERT_EQ(CProcwardDlg::IDM_VIEW_OUTPUT, id);
    wxCommandEvent chosen(wxEVT_MENU, id);
    dialog->GetEventHandler()->ProcessEvent(chosen);
    ServerOutputDlg* view = dialog->outputView(1);
    ASSERT_NE(nullptr, view);
    EXPECT_TRUE(view->IsShown());
    EXPECT_EQ("writer 的输出", ToU8(view->GetTitle()));
    EXPECT_FALSE(view->showsNote());
    EXPECT_EQ("文件：" + file, labelOf(view->FindWindow(ServerOutputDlg::kFileLabelId)));

    // The first lines: the file's history from the launch on.
    const std::string first = view->shownText();
    EXPECT_NE(std::string::npos, first.find("[procward] started pid " + std::to_string(record(1).info().pid)));
    EXPECT_NE(std::string::npos, first.find(countLine(1)));
    const unsigned long long shownAtOpen = lastCount(first);
    ASSERT_GE(shownAtOpen, 3u);

    // Then the lines the server writes while the view is open, each once:
    // none lost or repeated where the first lines end and following begins.
    ASSERT_TRUE(runLongUntil([&] { return lastCount(view->shownText()) >= shownAtOpen + 5; }));
    const std::string followed = view->shownText();
    for (unsigned long long n = 1; n <= lastCount(followed); ++n)
        ASSERT_EQ(1u, occurrences(followed, countLine(n))) << "line " << n;
    EXPECT_EQ('\n', followed.back());  // whole lines only

    // Asked again, the open view comes forward; there is no second one.
    EXPECT_EQ(view, dialog->ShowServerOutput(1));

    FolderShell shell;
    clickButton(view, ServerOutputDlg::kOpenFolderId);
    EXPECT_EQ(std::vector<std::string>{dir.file("logs/servers")}, shell.opened);

    view->Close();
    EXPECT_EQ(nullptr, dialog->outputView(1));
}

TEST_F(ServerOutputViewTest, TheViewTakesTheKeyboardAndEscapeClosesItNotTheWindow) {
    open("[" + server("writer", "--count-lines 100 1") + "]");
    ASSERT_TRUE(runUntil([&] { return dialog->IsActive(); })) << "the window never got the keyboard";
    ServerOutputDlg* view = dialog->ShowServerOutput(1);
    ASSERT_NE(nullptr, view);
    ASSERT_TRUE(runUntil([&] { return wxWindow::FindFocus() && wxGetTopLevelParent(wxWindow::FindFocus()) == view; }))
        << focusedId();
    // A real Escape, through the desktop: the view closes without a word,
    // the window stays and goes on.
    wxUIActionSimulator keyboard;
    wxTestingModalHook noModal;
    keyboard.Char(WXK_ESCAPE);
    ASSERT_TRUE(runUntil([&] { return dialog->outputView(1) == nullptr; }));
    noModal.CheckUnmetExpectations();
    EXPECT_FALSE(dialog->hasEnded());
    EXPECT_TRUE(dialog->IsShown());
    EXPECT_GT(record(1).info().pid, 0);
}

TEST_F(ServerOutputViewTest, OpensOnTheLastTwoHundredLinesInTheirOrder) {
    // 500 lines at once, then nothing for a long while.
    open("[" + server("burst", "--count-lines 1000000 500") + "]");
    ASSERT_TRUE(runLongUntil([&] { return record(1).info().pid > 0 && !record(1).capturedIn().empty(); }));
    ASSERT_TRUE(runLongUntil([&] { return lastCountIn(record(1).outputFile()) == 500; }));
    ServerOutputDlg* view = dialog->ShowServerOutput(1);
    ASSERT_NE(nullptr, view);
    const std::string shown = view->shownText();
    EXPECT_EQ(ServerOutputDlg::kFirstLines, occurrences(shown, "\n"));
    EXPECT_EQ(0u, shown.find(countLine(301)));
    EXPECT_EQ(shown.size() - 96, shown.rfind(countLine(500)));
    EXPECT_EQ(std::string::npos, shown.find(countLine(300)));
}

TEST_F(ServerOutputViewTest, ScrolledUpItKeepsItsPlaceAtTheEndItFollowsAndSearchFindsALine) {
    open("[" + server("writer", "--count-lines 50 5") + "]");
    ASSERT_TRUE(runLongUntil([&] { return record(1).info().pid > 0 && !record(1).capturedIn().empty(); }));
    const std::string file = record(1).outputFile();
    ASSERT_TRUE(runLongUntil([&] { return lastCountIn(file) >= 60; }));
    ServerOutputDlg* view = dialog->ShowServerOutput(1);
    ASSERT_NE(nullptr, view);
    auto* lines = dynamic_cast<wxTextCtrl*>(view->FindWindow(ServerOutputDlg::kLinesId));
    ASSERT_NE(nullptr, lines);
    // At the end, following: the newest lines come into view.
    EXPECT_TRUE(view->following());
    const unsigned long long opened = lastCount(view->shownText());
    ASSERT_TRUE(runLongUntil([&] { return lastCount(view->shownText()) >= opened + 20 && view->showsEnd(); }));
    EXPECT_NE(0, view->firstShownPosition());

    // The operator goes to the top with the keyboard to read back: the
    // view stops following and keeps its place while lines come, saying
    // how many wait.
    ASSERT_TRUE(runUntil([&] { return wxWindow::FindFocus() == lines; }));
    wxUIActionSimulator keyboard;
    keyboard.Char(WXK_HOME, wxMOD_CONTROL);
    ASSERT_TRUE(runLongUntil([&] { return view->firstShownPosition() == 0; }));
    EXPECT_FALSE(view->following());
    const std::string reading = view->shownText();
    ASSERT_TRUE(runLongUntil([&] { return view->waitingLines() >= 20; }));
    EXPECT_EQ(0, view->firstShownPosition());
    EXPECT_EQ(reading, view->shownText());
    EXPECT_NE(std::string::npos, labelOf(view->FindWindow(ServerOutputDlg::kFileLabelId)).find("行新输出"));

    // 查找: the text typed and Enter select the line that holds it (letter
    // case ignored), and the view goes to it and stays there.
    auto* find = dynamic_cast<wxTextCtrl*>(view->FindWindow(ServerOutputDlg::kFindTextId));
    ASSERT_NE(nullptr, find);
    const std::string wanted = countLine(lastCount(reading) - 3).substr(0, 14);
    find->SetFocus();
    ASSERT_TRUE(runUntil([&] { return wxWindow::FindFocus() == find; }));
    keyboard.Text(("COUNT" + wanted.substr(5)).c_str());
    keyboard.Char(WXK_RETURN);
    ASSERT_TRUE(runUntil([&] { return ToU8(lines->GetStringSelection()) == wanted; })) << ToU8(find->GetValue());
    long from = 0, to = 0;
    lines->GetSelection(&from, &to);
    ASSERT_TRUE(runLongUntil([&] {
        long bottom = 0;
        lines->HitTest(wxPoint(1, lines->GetClientSize().y - 2), &bottom);
        return view->firstShownPosition() > 0 && view->firstShownPosition() <= from && from <= bottom;
    })) << view->firstShownPosition()
        << " " << from;
    const int waiting = view->waitingLines();
    ASSERT_TRUE(runLongUntil([&] { return view->waitingLines() >= waiting + 20; }));
    EXPECT_EQ(reading, view->shownText());
    EXPECT_EQ(wanted, ToU8(lines->GetStringSelection()));
    EXPECT_FALSE(view->FindNext("no such line"));

    // 跟随 on again: the lines that waited, and the end.
    auto* follow = dynamic_cast<wxCheckBox*>(view->FindWindow(ServerOutputDlg::kFollowCheckId));
    ASSERT_NE(nullptr, follow);
    follow->SetValue(true);
    wxCommandEvent checked(wxEVT_CHECKBOX, ServerOutputDlg::kFollowCheckId);
    checked.SetEventObject(follow);
    checked.SetInt(1);
    follow->GetEventHandler()->ProcessEvent(checked);
    EXPECT_EQ(0, view->waitingLines());
    const std::string all = view->shownText();
    for (unsigned long long n = 1; n <= lastCount(all); ++n) ASSERT_EQ(1u, occurrences(all, countLine(n))) << n;
    ASSERT_TRUE(runLongUntil(
        [&] { return lastCount(view->shownText()) >= lastCount(all) + 20 && view->showsEnd() && view->following(); }));
}

TEST_F(ServerOutputViewTest, SaysWhyThereAreNoLinesForAServerFoundRunningOrDiscarded) {
    TestServer byHand({"--found-here"}, program);
    ASSERT_GT(byHand.pid(), 0);
    open("[" + server("found", "--found-here") + R"(,{"name":"quiet","processname":"procward-testserver",)" +
         R"("commandline":")" + program + R"( --say nowhere","output":"discard"})" + "]");
    ASSERT_TRUE(runLongUntil([&] { return record(1).info().pid == byHand.pid() && record(2).info().pid > 0; }));

    ServerOutputDlg* found = dialog->ShowServerOutput(1);
    ASSERT_NE(nullptr, found);
    EXPECT_TRUE(found->showsNote());
    EXPECT_EQ(ServerOutputDlg::kFoundRunningNote, found->shownText());
    EXPECT_FALSE(found->FindWindow(ServerOutputDlg::kLinesId)->IsEnabled());
    // Nothing comes later either: the process writes where its starter put it.
    found->FollowOutput();
    EXPECT_EQ(ServerOutputDlg::kFoundRunningNote, found->shownText());

    ServerOutputDlg* quiet = dialog->ShowServerOutput(2);
    ASSERT_NE(nullptr, quiet);
    EXPECT_NE(found, quiet);
    EXPECT_EQ("quiet 的输出", ToU8(quiet->GetTitle()));
    EXPECT_EQ(ServerOutputDlg::kDiscardedNote, quiet->shownText());
    EXPECT_FALSE(quiet->FindWindow(ServerOutputDlg::kOpenFolderId)->IsEnabled());

    // No view for a row that is not there.
    EXPECT_EQ(nullptr, dialog->ShowServerOutput(7));
}

}  // namespace
