#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>

#include <wx/choice.h>
#include <wx/testing.h>
#include <wx/uiaction.h>

#include <gtest/gtest.h>

#include "platform/Shell.h"
#include "platform/System.h"
#include "tests/gui/DialogDriving.h"
#include "tests/gui/MainWindowFixture.h"
#include "tests/support/ChatServer.h"
#include "tests/support/FileSizeLimit.h"
#include "ui/CAboutDlg.h"
#include "ui/CEditSvrProcessDlg.h"
#include "ui/CSettingDlg.h"
#include "ui/CWebhookDlg.h"
#include "ui/FileChooser.h"
#include "ui/ServerRow.h"
#include "ui/model/HealthForm.h"
#include "ui/model/RowCommand.h"
#include "ui/model/WebhookForm.h"

namespace {

// Remembers what the window asked the desktop to do instead of opening file
// managers and terminals on the test display.
class RecordingShell : public platform::Shell {
public:
    RecordingShell() { platform::setShell(this); }
    ~RecordingShell() override { platform::setShell(nullptr); }
    bool runScript(const std::string& script, const std::string& directory, bool visible) override {
        calls.push_back("run " + script + " in " + directory + (visible ? " shown" : " hidden"));
        return true;
    }
    bool openDirectory(const std::string& directory) override {
        calls.push_back("open " + directory);
        return true;
    }
    std::vector<std::string> calls;
};

class FixedChooser : public FileChooser {
public:
    explicit FixedChooser(std::string path) : path_(std::move(path)) {}
    std::string chooseFile(wxWindow*, const std::string& filter) override {
        filterSeen = filter;
        return path_;
    }
    std::string filterSeen;

private:
    std::string path_;
};

// Answers the edit dialog: applies a change to its texts, then OK.
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

// Answers the edit dialog through its controls: they are filled as opening
// it fills them, `change` works on them, and they are taken back as its OK
// takes them.
class EditFieldsAnswer : public wxExpectModalBase<CEditSvrProcessDlg, EditFieldsAnswer> {
public:
    explicit EditFieldsAnswer(std::function<void(CEditSvrProcessDlg&)> change) : change_(std::move(change)) {}

protected:
    int OnInvoked(CEditSvrProcessDlg* dialog) const override {
        dialog->TransferDataToWindow();
        change_(*dialog);
        dialog->TransferDataFromWindow();
        return wxID_OK;
    }

private:
    std::function<void(CEditSvrProcessDlg&)> change_;
};

class SettingsAnswer : public wxExpectModalBase<CSettingDlg, SettingsAnswer> {
public:
    SettingsAnswer(int seenInterval, int newInterval) : seen_(seenInterval), new_(newInterval) {}

protected:
    int OnInvoked(CSettingDlg* dialog) const override {
        EXPECT_EQ(seen_, dialog->m_checkInterval);
        dialog->m_checkInterval = new_;
        dialog->m_stopTimeout = 4;
        dialog->m_restartBackoffMax = 120;
        // What "保存" does once the texts are taken.
        return dialog->Apply() ? wxID_OK : wxID_CANCEL;
    }

private:
    int seen_, new_;
};

// Answers the settings dialog: adds a json channel to `url`, then saves.
class AddChannelAnswer : public wxExpectModalBase<CSettingDlg, AddChannelAnswer> {
public:
    explicit AddChannelAnswer(std::string url) : url_(std::move(url)) {}

protected:
    int OnInvoked(CSettingDlg* dialog) const override {
        class Fields : public wxExpectModalBase<CWebhookDlg, Fields> {
        public:
            explicit Fields(std::string url) : url_(std::move(url)) {}

        protected:
            int OnInvoked(CWebhookDlg* channel) const override {
                channel->TransferDataToWindow();
                editOf(channel, kWebhookNameEditId)->ChangeValue("receiver");
                editOf(channel, kWebhookUrlEditId)->ChangeValue(url_);
                editOf(channel, kWebhookMinIntervalEditId)->ChangeValue("0");
                return channel->TakeFields() ? wxID_OK : wxID_CANCEL;
            }

        private:
            std::string url_;
        };
        dialog->TransferDataToWindow();
        wxTEST_DIALOG(clickButton(dialog, kWebhookAddButtonId), Fields(url_));
        return dialog->TransferDataFromWindow() && dialog->Apply() ? wxID_OK : wxID_CANCEL;
    }

private:
    std::string url_;
};

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

class AboutAnswer : public wxExpectModalBase<CAboutDlg, AboutAnswer> {
protected:
    int OnInvoked(CAboutDlg* dialog) const override {
        const auto labels = labelsOf(dialog);
        EXPECT_NE(labels.end(), std::find(labels.begin(), labels.end(), "Procward, Version 1.0"));
        return wxID_OK;
    }
};

// Runs code that asks a question first, answered with yes.
#define CONFIRMED(code) wxTEST_DIALOG(code, wxExpectModal<wxMessageDialog>(wxID_YES))

// Runs code that must not open any modal dialog or message box.
#define EXPECT_NO_MODAL(code)             \
    do {                                  \
        wxTestingModalHook noModal;       \
        code;                             \
        noModal.CheckUnmetExpectations(); \
    } while (false)

class MainWindowCommandsTest : public MainWindowFixture {
protected:
    // A copy of the test server under a server-like name in its own
    // directory, so that reload scripts can sit beside it.
    std::string installServer(const std::string& fileName) {
        const std::string directory = dir.file("srv");
        std::filesystem::create_directories(directory);
        return copyTestServer(directory + "/" + fileName);
    }
    static std::string entry(const std::string& name, const std::string& processname, const std::string& commandline) {
        return R"({"name":")" + name + R"(","processname":")" + processname + R"(","commandline":")" + commandline +
               R"("})";
    }
    std::string serverList() const { return readFile(dir.file("serverinfo.json")); }
    void command(int id) {
        wxCommandEvent click(wxEVT_BUTTON, id);
        click.SetEventObject(dialog.get());
        dialog->ProcessWindowEvent(click);
    }
    void tick() { dialog->CheckAllServers(); }
};

TEST_F(MainWindowCommandsTest, ToggleStopsWithoutRestartAndStartsAgain) {
    open("[" + server("alpha", "--role toggle") + "]");
    const int first = record(1).info().pid;
    ASSERT_GT(first, 0);
    clickButton(dialog.get(), 1025);
    EXPECT_FALSE(record(1).autoStart());
    ASSERT_TRUE(runUntil([&] { return record(1).info().pid == 0; }));
    EXPECT_FALSE(processAlive(first));
    EXPECT_EQ("启动", labelOf(control(1025)));
    EXPECT_TRUE(control(1025)->IsEnabled());
    tick();
    EXPECT_EQ(0, record(1).info().pid);

    clickButton(dialog.get(), 1025);
    EXPECT_GT(record(1).info().pid, 0);
    EXPECT_TRUE(record(1).autoStart());
    EXPECT_EQ("停止", labelOf(control(1025)));
}

TEST_F(MainWindowCommandsTest, RowCommandsForAnIndexWithoutARecordDoNothing) {
    const std::string list =
        "[" + server("alpha", "--role a") + R"(,{"name":"no command line"},)" + server("gamma", "--role c") + "]";
    open(list);
    for (int id : {1026, 1126, 1226, 1326, 1426, 1024, 1124, 1524}) {
        EXPECT_NO_MODAL(command(id));
    }
    EXPECT_EQ(2u, dialog->supervisor().servers().size());
    EXPECT_EQ(list, serverList());
}

TEST_F(MainWindowCommandsTest, DeletingIndexThreeErasesTheThirdElementAndItsProcess) {
    const std::string alpha = server("alpha", "--role a"), skipped = R"({"name":"no command line"})";
    open("[" + alpha + "," + skipped + "," + server("gamma", "--role c") + "]");
    const int gamma = record(3).info().pid;
    ASSERT_GT(gamma, 0);
    CONFIRMED(clickButton(dialog.get(), 1127));
    // The list is rewritten once the process has gone.
    ASSERT_TRUE(runUntil([&] { return serverList() == "[" + alpha + "," + skipped + "]"; })) << serverList();
    EXPECT_FALSE(processAlive(gamma));
    EXPECT_EQ(1u, dialog->supervisor().servers().size());
    EXPECT_EQ(nullptr, control(1027));
    EXPECT_NE(std::string::npos, log().find("Disabled autoStart mode for gamma"));
}

TEST_F(MainWindowCommandsTest, DeletingAServerThatTakesTimeToStopRewritesTheListOnlyOnceItHasGone) {
    // A server that needs two seconds to end after it is asked to.
    const std::string alpha = server("alpha", "--role a");
    open("[" + alpha + "," + server("slow", "--term-delay 2000") + "]");
    const int slow = record(2).info().pid;
    ASSERT_GT(slow, 0);
    CONFIRMED(clickButton(dialog.get(), 1126));
    EXPECT_EQ("立即结束", labelOf(control(1026)));
    bool aliveWhenRewritten = false;
    ASSERT_TRUE(runUntil([&] {
        if (serverList() != "[" + alpha + "]") return false;
        aliveWhenRewritten = processAlive(slow);
        return true;
    }));
    EXPECT_FALSE(aliveWhenRewritten);
    EXPECT_EQ(1u, dialog->supervisor().servers().size());
    EXPECT_EQ(nullptr, control(1026));
}

TEST_F(MainWindowCommandsTest, EditingTheNameKeepsTheServerRunningAndANewCommandLineRestartsIt) {
    open("[" + server("alpha", "--role edit") + "]");
    const int first = record(1).info().pid;
    wxTEST_DIALOG(clickButton(dialog.get(), 1225), EditAnswer([](CEditSvrProcessDlg& d) {
                      EXPECT_EQ("alpha", d.m_name);
                      d.m_name = "  renamed ";
                  }));
    EXPECT_EQ("[" + server("renamed", "--role edit") + "]", serverList());
    EXPECT_EQ(first, record(1).info().pid);
    EXPECT_TRUE(processAlive(first));

    wxTEST_DIALOG(clickButton(dialog.get(), 1225),
                  EditAnswer([](CEditSvrProcessDlg& d) { d.m_commandLine += " --changed "; }));
    // The old process ends before the list is rewritten and the new command
    // line launched.
    ASSERT_TRUE(runUntil([&] { return serverList() == "[" + server("renamed", "--role edit --changed") + "]"; }));
    EXPECT_FALSE(processAlive(first));
    // The reload started the server with its new command line.
    EXPECT_GT(record(1).info().pid, 0);
    EXPECT_NE(first, record(1).info().pid);
}

TEST_F(MainWindowCommandsTest, TheEditDialogSetsAnHttpRuleTheEngineChecksWithAndKeepsTheOtherKeys) {
    const int port = freeTcpPort();
    const std::string address = "127.0.0.1:" + std::to_string(port);
    const std::string alpha = server("alpha", "--http " + address + " --http-status 204");
    // Keys the dialog does not show, in the entry and in its rule.
    open("[" + alpha.substr(0, alpha.size() - 1) +
         R"(,"note":"keep","health":{"timeout":2,"grace":0,"custom":[1,2]}}])");
    const int pid = record(1).info().pid;
    ASSERT_GT(pid, 0);
    ASSERT_FALSE(record(1).options().health);
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/probe-path";
    wxTEST_DIALOG(clickButton(dialog.get(), 1225), EditFieldsAnswer([&](CEditSvrProcessDlg& d) {
                      auto* kind = dynamic_cast<wxChoice*>(d.FindWindow(kHealthKindChoiceId));
                      ASSERT_NE(nullptr, kind);
                      EXPECT_EQ(0, kind->GetSelection());
                      EXPECT_FALSE(editOf(&d, kHealthTargetEditId)->IsEnabled());
                      kind->SetSelection(2);
                      editOf(&d, kHealthTargetEditId)->ChangeValue(url);
                      editOf(&d, kHealthIntervalEditId)->ChangeValue("5");
                      editOf(&d, kHealthFailuresEditId)->ChangeValue("2");
                  }));
    ASSERT_TRUE(runUntil([&] { return record(1).options().health.has_value(); })) << serverList();
    EXPECT_EQ("[" + alpha.substr(0, alpha.size() - 1) + R"(,"note":"keep","health":{"timeout":2,"grace":0,)" +
                  R"("custom":[1,2],"http":")" + url + R"(","interval":5,"failures":2}}])",
              serverList());
    EXPECT_EQ(pid, record(1).info().pid);  // a new rule is no restart

    // The engine probes the real server with the new rule.
    std::optional<std::pair<bool, std::string>> checked;
    dialog->supervisor().checkHealth(
        1, [&](bool passed, const std::string& text) { checked = std::make_pair(passed, text); });
    ASSERT_TRUE(runUntil([&] { return checked.has_value(); }));
    EXPECT_TRUE(checked->first) << checked->second;
    EXPECT_NE(std::string::npos, checked->second.find("HTTP 204 from /probe-path")) << checked->second;

    // Opened again, the dialog shows the rule; "无" removes the probe and
    // the keys it does not show stay.
    wxTEST_DIALOG(clickButton(dialog.get(), 1225), EditFieldsAnswer([&](CEditSvrProcessDlg& d) {
                      auto* kind = dynamic_cast<wxChoice*>(d.FindWindow(kHealthKindChoiceId));
                      EXPECT_EQ(2, kind->GetSelection());
                      EXPECT_EQ(url, ToU8(editOf(&d, kHealthTargetEditId)->GetValue()));
                      EXPECT_EQ("5", ToU8(editOf(&d, kHealthIntervalEditId)->GetValue()));
                      EXPECT_EQ("2", ToU8(editOf(&d, kHealthFailuresEditId)->GetValue()));
                      kind->SetSelection(0);
                  }));
    ASSERT_TRUE(runUntil([&] { return !record(1).options().health.has_value(); })) << serverList();
    EXPECT_EQ("[" + alpha.substr(0, alpha.size() - 1) + R"(,"note":"keep"}])", serverList());
}

TEST_F(MainWindowCommandsTest, AnExecRuleSurvivesAnEditOfTheNameUntouched) {
    const std::string alpha = server("alpha", "--role exec");
    const std::string rule = R"("health": {"exec": "/bin/true", "max_memory_mb": 900, "interval": 0.5, "x": {}})";
    open("[" + alpha.substr(0, alpha.size() - 1) + "," + rule + "}]");
    ASSERT_TRUE(record(1).options().health);
    wxTEST_DIALOG(clickButton(dialog.get(), 1225), EditFieldsAnswer([&](CEditSvrProcessDlg& d) {
                      // Shown, but not to be changed here.
                      EXPECT_FALSE(d.FindWindow(kHealthKindChoiceId)->IsEnabled());
                      EXPECT_FALSE(editOf(&d, kHealthTargetEditId)->IsEnabled());
                      EXPECT_EQ("/bin/true", ToU8(editOf(&d, kHealthTargetEditId)->GetValue()));
                      const std::string note = ToU8(d.FindWindow(kHealthNoteLabelId)->GetLabel());
                      EXPECT_NE(std::string::npos, note.find("exec")) << note;
                      EXPECT_NE(std::string::npos, note.find("900 MB")) << note;
                      editOf(&d, 1017)->ChangeValue("renamed");
                  }));
    ASSERT_TRUE(runUntil([&] { return record(1).info().name == "renamed"; }));
    const std::string renamed = server("renamed", "--role exec");
    EXPECT_EQ("[" + renamed.substr(0, renamed.size() - 1) + "," + rule + "}]", serverList());
    ASSERT_TRUE(record(1).options().health);
    EXPECT_EQ(HealthProbe::exec, record(1).options().health->probe);
}

TEST_F(MainWindowCommandsTest, DeleteAllStopsEveryServerAndEmptiesTheList) {
    open("[" + server("alpha", "--role a") + "," + server("beta", "--role b") + "]");
    const int a = record(1).info().pid, b = record(2).info().pid;
    CONFIRMED(clickButton(dialog.get(), 1002));
    ASSERT_TRUE(runUntil([&] { return serverList() == "[]"; }));
    EXPECT_FALSE(processAlive(a));
    EXPECT_FALSE(processAlive(b));
    EXPECT_TRUE(dialog->supervisor().servers().empty());
    EXPECT_EQ(nullptr, control(1025));
}

TEST_F(MainWindowCommandsTest, AddRefusesBadInputWithFocusAndAddsAValidServer) {
    open("[" + server("Alpha", "--role a") + "]");
    editOf(dialog.get(), 1004)->ChangeValue("   ");
    std::string message, caption;
    wxTEST_DIALOG(clickButton(dialog.get(), 1003), ExpectMessageBox(message, &caption));
    EXPECT_EQ("名称不能为空！", message);
    EXPECT_EQ("Procward", caption);
    EXPECT_EQ(1004, focusedId());

    editOf(dialog.get(), 1004)->ChangeValue("alpha");
    editOf(dialog.get(), 1005)->ChangeValue("procward-testserver");
    editOf(dialog.get(), 1006)->ChangeValue(program + " --role b");
    wxTEST_DIALOG(clickButton(dialog.get(), 1003), ExpectMessageBox(message));
    EXPECT_EQ("名称已存在！", message);
    EXPECT_EQ(1004, focusedId());

    editOf(dialog.get(), 1004)->ChangeValue(" beta ");
    EXPECT_NO_MODAL(clickButton(dialog.get(), 1003));
    EXPECT_EQ("[" + server("Alpha", "--role a") + "," + server("beta", "--role b") + "]", serverList());
    EXPECT_GT(record(2).info().pid, 0);
    EXPECT_EQ("停止", labelOf(control(1026)));
    // The strip keeps its texts.
    EXPECT_EQ(" beta ", ToU8(editOf(dialog.get(), 1004)->GetValue()));
}

TEST_F(MainWindowCommandsTest, AListThatCannotBeWrittenIsShownAndTheFileKeepsWhatItHeld) {
    const std::string list = "[" + server("alpha", "--role a") + "]";
    open(list);
    editOf(dialog.get(), 1004)->ChangeValue("beta");
    editOf(dialog.get(), 1005)->ChangeValue("procward-testserver");
    editOf(dialog.get(), 1006)->ChangeValue(program + " --role b");
    std::string message, caption;
    {
        // The new list would not fit: the write fails halfway, as on a full disk.
        FileSizeLimit limit(list.size() + 10);
        wxTEST_DIALOG(clickButton(dialog.get(), 1003), ExpectMessageBox(message, &caption));
    }
    EXPECT_EQ("服务器列表保存失败：" + dir.file("serverinfo.json") + " could not be written (" + std::strerror(EFBIG) +
                  "); it was left as it was",
              message);
    EXPECT_EQ("Procward", caption);
    EXPECT_EQ(list, serverList());
    // The window shows what the file holds.
    EXPECT_EQ(1u, dialog->supervisor().servers().size());
    EXPECT_EQ(nullptr, control(1026));
}

TEST_F(MainWindowCommandsTest, RowsBeyondNinetyNineHaveButtonsThatWork) {
    // 99 entries that share one running process, then two servers of their own.
    TestServer shared({"--role", "shared"}, program);
    std::string list = "[";
    for (int i = 1; i <= 99; ++i) list += server("s" + std::to_string(i), "--role shared") + ",";
    list += server("hundred", "--role hundred") + "," + server("last", "--role last") + "]";
    open(list);
    ASSERT_EQ(101u, dialog->supervisor().servers().size());
    const int hundred = record(100).info().pid;
    ASSERT_GT(hundred, 0);
    const int toggle = RowCommandId(RowCommandKind::Toggle, 100);
    EXPECT_EQ(toggle, dialog->row(100)->startStopButton->GetId());
    EXPECT_EQ("停止", labelOf(control(toggle)));

    clickButton(dialog.get(), toggle);
    ASSERT_TRUE(runUntil([&] { return record(100).info().pid == 0; }));
    EXPECT_FALSE(processAlive(hundred));
    EXPECT_FALSE(record(100).autoStart());
    EXPECT_EQ("启动", labelOf(control(toggle)));
    EXPECT_EQ(shared.pid(), record(99).info().pid);  // the row before it is left alone

    // The last row's delete removes its own entry.
    const int last = record(101).info().pid;
    CONFIRMED(clickButton(dialog.get(), RowCommandId(RowCommandKind::Delete, 101)));
    ASSERT_TRUE(runUntil([&] { return dialog->supervisor().servers().size() == 100; }));
    EXPECT_FALSE(processAlive(last));
    EXPECT_EQ(nullptr, dialog->supervisor().find(101));
    EXPECT_EQ(std::string::npos, serverList().find("\"last\""));
    EXPECT_NE(std::string::npos, serverList().find("\"hundred\""));
}

TEST_F(MainWindowCommandsTest, BrowseFillsTheStripAndTypingProposesAName) {
    open("[]");
    FixedChooser chosen("/opt/game server/svr_Game");
    dialog->setFileChooser(&chosen);
    clickButton(dialog.get(), 1010);
    EXPECT_EQ(CProcwardDlg::kBrowseFilter, chosen.filterSeen);
    EXPECT_EQ("svr_Game", ToU8(editOf(dialog.get(), 1005)->GetValue()));
    EXPECT_EQ("/opt/game server/svr_Game", ToU8(editOf(dialog.get(), 1006)->GetValue()));
    // The path holds a blank, so the name proposal took over.
    EXPECT_EQ("svr_Gameserver/svr_Game", ToU8(editOf(dialog.get(), 1004)->GetValue()));

    editOf(dialog.get(), 1006)->SetValue("/opt/srv/svr_Game 2");
    EXPECT_EQ("svr_Game2", ToU8(editOf(dialog.get(), 1004)->GetValue()));

    FixedChooser cancelled("");
    dialog->setFileChooser(&cancelled);
    clickButton(dialog.get(), 1010);
    for (int id : {1004, 1005, 1006}) EXPECT_EQ("", ToU8(editOf(dialog.get(), id)->GetValue())) << id;
}

TEST_F(MainWindowCommandsTest, TheStripKeepsATypedNameAndFillsTheFileNameFromTheProgram) {
    open("[]");
    ASSERT_TRUE(runUntil([&] { return dialog->IsActive(); })) << "the window never got the keyboard";
    wxTextCtrl* name = editOf(dialog.get(), 1004);
    wxTextCtrl* fileName = editOf(dialog.get(), 1005);
    wxTextCtrl* commandLine = editOf(dialog.get(), 1006);
    const auto text = [](wxTextCtrl* edit) { return ToU8(edit->GetValue()); };
    // Real keys, through the desktop: a name first, then the command line.
    wxUIActionSimulator keyboard;
    name->SetFocus();
    ASSERT_TRUE(runUntil([&] { return focusedId() == 1004; }));
    keyboard.Text("mygame");
    ASSERT_TRUE(runUntil([&] { return text(name) == "mygame"; })) << text(name);
    commandLine->SetFocus();
    ASSERT_TRUE(runUntil([&] { return focusedId() == 1006; }));
    commandLine->ChangeValue("/srv/game/svr_game -c");
    commandLine->SetInsertionPointEnd();
    keyboard.Text(" 7");
    ASSERT_TRUE(runUntil([&] { return text(commandLine) == "/srv/game/svr_game -c 7"; })) << text(commandLine);
    EXPECT_EQ("mygame", text(name));
    EXPECT_EQ("svr_game", text(fileName));

    // An empty name is the strip's to propose again, from the file name.
    name->ChangeValue("");
    commandLine->AppendText("1");
    EXPECT_EQ("svr_game71", text(name));
    // A file name typed over the filled one is kept; the proposal, still
    // the strip's own, follows it.
    fileName->ChangeValue("custom");
    commandLine->AppendText("2");
    EXPECT_EQ("custom", text(fileName));
    EXPECT_EQ("custom712", text(name));
    // A quoted program with blanks in its path is one word.
    fileName->ChangeValue("");
    name->ChangeValue("kept");
    commandLine->SetValue("\"/opt/game server/svr_other\" --id 3");
    EXPECT_EQ("svr_other", text(fileName));
    EXPECT_EQ("kept", text(name));
    // And the strip adds what it shows.
    commandLine->SetValue(program + " --role strip");
    EXPECT_EQ("procward-testserver", text(fileName));
    EXPECT_NO_MODAL(clickButton(dialog.get(), 1003));
    EXPECT_EQ("[" + server("kept", "--role strip") + "]", serverList());
}

TEST_F(MainWindowCommandsTest, ReloadScriptRunsInTheServersDirectoryOrItsAbsenceIsShown) {
    const std::string program = installServer("svr_Game");
    const std::string directory = dir.file("srv/");
    open("[" + entry("game", "svr_Game", program + " 1") + "," +
         entry("gone", "svr_Gone", dir.file("nowhere/svr_Gone") + " 1") + "]");

    std::string message, caption;
    wxTEST_DIALOG(clickButton(dialog.get(), 1325), ExpectMessageBox(message, &caption));
    EXPECT_EQ("加载配置批处理文件 " + directory + "reload_Game.sh 不存在", message);
    EXPECT_EQ("提示 ", caption);

    wxTEST_DIALOG(clickButton(dialog.get(), 1326), ExpectMessageBox(message, &caption));
    EXPECT_EQ("路径" + dir.file("nowhere/") + "  不存在", message);
    wxTEST_DIALOG(clickButton(dialog.get(), 1426), ExpectMessageBox(message));
    EXPECT_EQ("路径" + dir.file("nowhere/") + "  不存在", message);

    writeFile(directory + "reload_Game.sh", "pwd > reloaded.txt\n");
    EXPECT_NO_MODAL(clickButton(dialog.get(), 1325));
    ASSERT_TRUE(waitFor([&] { return !readFile(directory + "reloaded.txt").empty(); }));
    EXPECT_EQ(dir.file("srv") + "\n", readFile(directory + "reloaded.txt"));
}

TEST_F(MainWindowCommandsTest, LoadAllAndOpenAllAskWithTheirCountsAndSkipWhatIsMissingSilently) {
    const std::string program = installServer("svr_Game");
    const std::string directory = dir.file("srv/");
    const std::string other = dir.file("other/");
    std::filesystem::create_directories(other);
    const std::string otherProgram = copyTestServer(other + "svr_Other");
    writeFile(directory + "reload_Game_3.sh", "true\n");
    writeFile(other + "reload_Other.sh", "true\n");
    open("[" + entry("one", "svr_Game", program + " -c 3") + "," + entry("two", "svr_Game", program + " -c 4") + "," +
         entry("gone", "svr_Gone", dir.file("nowhere/svr_Gone") + " 1") + "," + entry("bare", "svr_Bare", "svr_Bare") +
         "," + entry("other", "svr_Other", otherProgram) + "]");
    RecordingShell shell;
    // "否" runs nothing; the question counts the scripts that exist.
    std::string question;
    wxTEST_DIALOG(clickButton(dialog.get(), 1008), AnswerQuestion(wxID_NO, question));
    EXPECT_EQ(CProcwardDlg::loadAllQuestion(2), question);
    EXPECT_TRUE(shell.calls.empty());
    wxTEST_DIALOG(clickButton(dialog.get(), 1008), AnswerQuestion(wxID_YES, question));
    EXPECT_EQ((std::vector<std::string>{"run " + directory + "reload_Game_3.sh in " + directory + " hidden",
                                        "run " + other + "reload_Other.sh in " + other + " hidden"}),
              shell.calls);
    shell.calls.clear();
    // Three servers in two folders: each folder opens once, in index order.
    wxTEST_DIALOG(clickButton(dialog.get(), 1009), AnswerQuestion(wxID_NO, question));
    EXPECT_EQ(CProcwardDlg::openAllQuestion(3, 2), question);
    EXPECT_TRUE(shell.calls.empty());
    wxTEST_DIALOG(clickButton(dialog.get(), 1009), AnswerQuestion(wxID_YES, question));
    EXPECT_EQ((std::vector<std::string>{"open " + directory, "open " + other}), shell.calls);
    shell.calls.clear();
    clickButton(dialog.get(), 1425);
    EXPECT_EQ((std::vector<std::string>{"open " + directory}), shell.calls);
}

TEST_F(MainWindowCommandsTest, PathsAreTheProgramsEvenWhenAnArgumentNamesAnotherDirectory) {
    const std::string program = installServer("svr_Game");
    const std::string directory = dir.file("srv/");
    const std::string elsewhere = dir.file("conf/");
    std::filesystem::create_directories(elsewhere);
    writeFile(directory + "reload_Game.sh", "true\n");
    open("[" + entry("game", "svr_Game", program + " " + elsewhere + "game.conf") + "]");
    RecordingShell shell;
    // 打开路径 and 加载配置 of the row: the program's directory, where the
    // script is, not the directory the argument names.
    EXPECT_NO_MODAL(clickButton(dialog.get(), 1425));
    EXPECT_NO_MODAL(clickButton(dialog.get(), 1325));
    EXPECT_EQ((std::vector<std::string>{"open " + directory,
                                        "run " + directory + "reload_Game.sh in " + directory + " hidden"}),
              shell.calls);
}

TEST_F(MainWindowCommandsTest, UpdateTimeRunsTheScriptOfTheFirstServerWithADirectory) {
    const std::string program = installServer("svr_Game");
    open("[" + entry("bare", "svr_Bare", "svr_Bare -x") + "," + entry("game", "svr_Game", program + " 1") + "]");
    RecordingShell shell;
    clickButton(dialog.get(), 1011);
    EXPECT_EQ((std::vector<std::string>{"run " + dir.file("srv/nettime.sh") + " in " + dir.file("srv/") + " shown"}),
              shell.calls);
}

TEST_F(MainWindowCommandsTest, WindowMenuOpensSettingsAndAboutAndKeepsTheCheckPeriod) {
    open("[]");
    const auto period = dialog->supervisor().options().checkInterval;
    wxTEST_DIALOG(dialog->OnSysCommand(CProcwardDlg::IDM_SETTINGS), SettingsAnswer(dialog->checkInterval(), 9));
    EXPECT_EQ(9, dialog->checkInterval());
    // The checks keep their period until the next start; the stop time-out
    // and the back-off maximum apply from the next stop and failure.
    EXPECT_EQ(period, dialog->supervisor().options().checkInterval);
    EXPECT_EQ(std::chrono::seconds(4), dialog->supervisor().options().stopTimeout);
    EXPECT_EQ(std::chrono::seconds(120), dialog->supervisor().options().restartBackoffMax);
    // Written to procward.ini in the configuration directory.
    const std::string written = readFile(dir.file("procward.ini"));
    EXPECT_NE(std::string::npos, written.find("CHECK_SVR_STATUS_INTERVAL=9\n")) << written;
    EXPECT_NE(std::string::npos, written.find("STOP_TIMEOUT=4\n")) << written;
    EXPECT_EQ(9, dialog->runtime().settings().general.checkInterval);
    wxTEST_DIALOG(dialog->OnSysCommand(CProcwardDlg::IDM_ABOUTBOX), AboutAnswer());
}

TEST_F(MainWindowCommandsTest, AChannelSavedInTheSettingsTakesTheNextAlertWithoutARestart) {
    const TestCertificates::Shared& certificates = TestCertificates::shared();
    ScopedTrustStore trust{certificates.authority.authorityFile()};
    ChatServer receiver(certificates.loopback);
    open("[" + server("alpha", "--role hook") + "]");
    const int pid = record(1).info().pid;
    ASSERT_GT(pid, 0);
    wxTEST_DIALOG(dialog->OnSysCommand(CProcwardDlg::IDM_SETTINGS), AddChannelAnswer(receiver.url("/alerts")));
    ASSERT_EQ(1u, dialog->runtime().settings().webhooks.size());
    EXPECT_NE(std::string::npos, readFile(dir.file("procward.ini")).find("[WEBHOOK.receiver]"));

    // The server falls once it runs: the channel saved a moment ago tells the receiver.
    ASSERT_TRUE(runUntil([&] { return record(1).state() == ServerState::Running; }));
    killAndWait(pid);
    auto down = [&]() -> std::optional<ChatServer::Request> {
        for (const ChatServer::Request& request : receiver.requests())
            if (request.body.find(R"("event":"down")") != std::string::npos) return request;
        return std::nullopt;
    };
    ASSERT_TRUE(runUntil([&] { return down().has_value(); }));
    EXPECT_EQ("/alerts", down()->path);
    EXPECT_NE(std::string::npos, down()->body.find(R"("server":"alpha")")) << down()->body;
}

TEST_F(MainWindowCommandsTest, StartingTheWindowWritesTheAutostartEntry) {
    open("[]");
    const std::string entryText = readFile(std::string(std::getenv("XDG_CONFIG_HOME")) + "/autostart/procward.desktop");
    EXPECT_NE(std::string::npos, entryText.find("Exec=" + platform::executablePath())) << entryText;
}

}  // namespace
