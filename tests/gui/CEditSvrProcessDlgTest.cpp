#include <functional>

#include <gtest/gtest.h>

#include "tests/gui/DialogDriving.h"
#include "ui/CEditSvrProcessDlg.h"

#include <wx/choice.h>
#include <wx/testing.h>

namespace {

TEST(CEditSvrProcessDlgTest, ShowsTheTemplateWithItsIdsAndTexts) {
    CEditSvrProcessDlg dialog;
    EXPECT_EQ("修改监控对象", ToU8(dialog.GetTitle()));
    EXPECT_EQ(dialog.ConvertDialogToPixels(wxSize(375, 205)), dialog.GetClientSize());
    EXPECT_EQ((std::vector<std::string>{"名称：", "文件名：", "命令行：", "方式：", "检查地址：", "间隔(秒)：",
                                        "连续失败次数：", ""}),
              labelsOf(&dialog));
    for (int id : {1017, 1018, 1019}) {
        wxTextCtrl* edit = editOf(&dialog, id);
        ASSERT_NE(nullptr, edit) << id;
        EXPECT_TRUE(edit->IsSingleLine());
    }
    EXPECT_EQ(dialog.ConvertDialogToPixels(wxPoint(54, 42)), editOf(&dialog, 1018)->GetPosition());
    ASSERT_NE(nullptr, buttonOf(&dialog, wxID_OK));
    EXPECT_EQ("确定", ToU8(buttonOf(&dialog, wxID_OK)->GetLabel()));
    EXPECT_EQ(buttonOf(&dialog, wxID_OK), dialog.GetDefaultItem());
    ASSERT_NE(nullptr, buttonOf(&dialog, wxID_CANCEL));
    EXPECT_EQ("取消", ToU8(buttonOf(&dialog, wxID_CANCEL)->GetLabel()));
}

TEST(CEditSvrProcessDlgTest, OkReturnsTheTextsExactlyAsTyped) {
    CEditSvrProcessDlg dialog;
    dialog.m_name = "Game1";
    dialog.m_fileName = "svr_Game";
    dialog.m_commandLine = "/srv/游戏/svr_Game 1";
    std::vector<std::string> shown;
    dialog.CallAfter([&] {
        for (int id : {1017, 1018, 1019}) shown.push_back(ToU8(editOf(&dialog, id)->GetValue()));
        editOf(&dialog, 1017)->ChangeValue(U8("  Game 1 "));
        editOf(&dialog, 1018)->ChangeValue("");
        editOf(&dialog, 1019)->ChangeValue(U8("/srv/游戏/svr_Game 1 "));
        clickButton(&dialog, wxID_OK);
    });
    EXPECT_EQ(wxID_OK, dialog.ShowModal());
    EXPECT_EQ((std::vector<std::string>{"Game1", "svr_Game", "/srv/游戏/svr_Game 1"}), shown);
    EXPECT_EQ("  Game 1 ", dialog.m_name);
    EXPECT_EQ("", dialog.m_fileName);
    EXPECT_EQ("/srv/游戏/svr_Game 1 ", dialog.m_commandLine);
}

TEST(CEditSvrProcessDlgTest, EscapeCancelAndCloseKeepTheOpenersTexts) {
    const std::vector<std::function<void(CEditSvrProcessDlg&)>> dismissals = {
        [](CEditSvrProcessDlg& d) { sendKey(editOf(&d, 1019), wxEVT_CHAR_HOOK, WXK_ESCAPE); },
        [](CEditSvrProcessDlg& d) { clickButton(&d, wxID_CANCEL); },
        [](CEditSvrProcessDlg& d) { d.Close(); },
    };
    for (const auto& dismiss : dismissals) {
        CEditSvrProcessDlg dialog;
        dialog.m_name = "Game1";
        dialog.m_fileName = "svr_Game";
        dialog.m_commandLine = "/srv/svr_Game 1";
        dialog.CallAfter([&] {
            for (int id : {1017, 1018, 1019}) editOf(&dialog, id)->ChangeValue("changed");
            dismiss(dialog);
        });
        EXPECT_EQ(wxID_CANCEL, dialog.ShowModal());
        EXPECT_EQ("Game1", dialog.m_name);
        EXPECT_EQ("svr_Game", dialog.m_fileName);
        EXPECT_EQ("/srv/svr_Game 1", dialog.m_commandLine);
    }
}

TEST(CEditSvrProcessDlgTest, ARefusalIsShownWithTheFocusOnItsFieldAndTheDialogStaysOpen) {
    CEditSvrProcessDlg dialog;
    dialog.m_name = "Game1";
    dialog.m_fileName = "svr_Game";
    dialog.m_commandLine = "/srv/svr_Game 1";
    std::vector<std::string> checked;
    dialog.m_check = [&](const std::string& name, const std::string&, const std::string& commandLine) {
        checked.push_back(name + "|" + commandLine);
        if (commandLine == "/srv/svr_Game 2") return CEditSvrProcessDlg::Refusal{"命令行已存在！", 1006};
        return CEditSvrProcessDlg::Refusal{};
    };
    std::string message;
    bool stayedOpen = false;
    int focus = 0;
    std::string nameWhileOpen;
    dialog.CallAfter([&] {
        editOf(&dialog, 1017)->ChangeValue("Game2");
        editOf(&dialog, 1019)->ChangeValue("/srv/svr_Game 2");
        wxTEST_DIALOG(clickButton(&dialog, wxID_OK), ExpectMessageBox(message));
        stayedOpen = dialog.IsModal();
        focus = focusedId();
        nameWhileOpen = dialog.m_name;
        editOf(&dialog, 1019)->ChangeValue("/srv/svr_Game 3");
        clickButton(&dialog, wxID_OK);
    });
    EXPECT_EQ(wxID_OK, dialog.ShowModal());
    EXPECT_EQ("命令行已存在！", message);
    EXPECT_TRUE(stayedOpen);
    EXPECT_EQ(1019, focus);
    EXPECT_EQ("Game1", nameWhileOpen);  // a refused OK takes nothing
    EXPECT_EQ((std::vector<std::string>{"Game2|/srv/svr_Game 2", "Game2|/srv/svr_Game 3"}), checked);
    EXPECT_EQ("/srv/svr_Game 3", dialog.m_commandLine);
}

TEST(CEditSvrProcessDlgTest, AHealthFieldThatDoesNotPassIsRefusedAndTheDialogStaysOpen) {
    CEditSvrProcessDlg dialog;
    dialog.m_name = "Game1";
    dialog.m_fileName = "svr_Game";
    dialog.m_commandLine = "/srv/svr_Game 1";
    std::vector<std::string> messages;
    std::vector<int> focus;
    bool stayedOpen = false;
    bool targetEnabledAtFirst = true;
    dialog.CallAfter([&] {
        auto* kind = dynamic_cast<wxChoice*>(dialog.FindWindow(kHealthKindChoiceId));
        targetEnabledAtFirst = editOf(&dialog, kHealthTargetEditId)->IsEnabled();
        kind->SetSelection(1);
        wxCommandEvent chosen(wxEVT_CHOICE, kHealthKindChoiceId);
        chosen.SetEventObject(kind);
        kind->GetEventHandler()->ProcessEvent(chosen);
        editOf(&dialog, kHealthTargetEditId)->ChangeValue("127.0.0.1");
        std::string message;
        wxTEST_DIALOG(clickButton(&dialog, wxID_OK), ExpectMessageBox(message));
        messages.push_back(message);
        focus.push_back(focusedId());
        editOf(&dialog, kHealthTargetEditId)->ChangeValue("127.0.0.1:7000");
        editOf(&dialog, kHealthFailuresEditId)->ChangeValue("0");
        wxTEST_DIALOG(clickButton(&dialog, wxID_OK), ExpectMessageBox(message));
        messages.push_back(message);
        focus.push_back(focusedId());
        stayedOpen = dialog.IsModal();
        editOf(&dialog, kHealthFailuresEditId)->ChangeValue("4");
        clickButton(&dialog, wxID_OK);
    });
    EXPECT_EQ(wxID_OK, dialog.ShowModal());
    EXPECT_FALSE(targetEnabledAtFirst);  // "无": nothing to address
    EXPECT_EQ((std::vector<std::string>{kHealthTcpTargetMessage, kHealthFailuresMessage}), messages);
    EXPECT_EQ((std::vector<int>{kHealthTargetEditId, kHealthFailuresEditId}), focus);
    EXPECT_TRUE(stayedOpen);
    ASSERT_TRUE(dialog.m_healthEdit);
    EXPECT_EQ(HealthProbe::tcp, dialog.m_healthEdit->probe);
    EXPECT_EQ("127.0.0.1:7000", dialog.m_healthEdit->target);
    EXPECT_EQ(4, dialog.m_healthEdit->failures);
    EXPECT_EQ(std::chrono::seconds(10), dialog.m_healthEdit->interval);
}

}  // namespace
