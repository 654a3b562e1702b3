#include <cerrno>
#include <cstring>
#include <functional>

#include <gtest/gtest.h>

#include <wx/checkbox.h>
#include <wx/choice.h>

#include "app/core/TestAlertCommand.h"
#include "config/AppDirectories.h"
#include "config/SettingsFile.h"
#include "log/AppLogger.h"
#include "mail/MailDelivery.h"
#include "platform/System.h"
#include "tests/gui/DialogDriving.h"
#include "tests/support/ChatServer.h"
#include "tests/support/FileSizeLimit.h"
#include "tests/support/ScriptedSmtpPeer.h"
#include "tests/support/SmtpTestServer.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TestServer.h"
#include "ui/CSettingDlg.h"
#include "ui/CWebhookDlg.h"
#include "ui/model/WebhookForm.h"

#include <sys/stat.h>
#include <wx/listbox.h>

namespace {

const char* const kSent = "测试邮件发送成功，请点击 '保存' 按钮保存SMTP设置!";
const char* const kFailed = "测试邮件发送失败!";
const char* const kRangeMessage = "请输入一个介于 1 和 120 之间的整数。";
const char* const kIntegerMessage = "请输入一个整数。";
const char* const kTooShortMessage = "状态检查时间间隔不能小于 1 秒，请输入一个不小于 1 的整数。";
const char* const kNegativeMessage = "请输入一个不小于 0 的整数。";

wxChoice* securityOf(wxWindow* dialog) { return dynamic_cast<wxChoice*>(dialog->FindWindow(1017)); }
wxCheckBox* verifyOf(wxWindow* dialog) { return dynamic_cast<wxCheckBox*>(dialog->FindWindow(1018)); }

// The settings in force when the dialog opens.
Settings given() {
    Settings settings;
    settings.general.checkInterval = 3;
    settings.mail.smtpServer = "smtp.example.org";
    settings.mail.smtpPort = "25";
    settings.mail.smtpUser = "alert";
    settings.mail.smtpPassword = "secret";
    settings.mail.smtpMailTo = "ops@example.org";
    settings.mail.minAlertInterval = 5;
    return settings;
}

// Answers the channel dialog through its fields: filled as opening fills
// them, changed by `change`, then "确定"'s check; a refusal answers cancel.
class WebhookAnswer : public wxExpectModalBase<CWebhookDlg, WebhookAnswer> {
public:
    explicit WebhookAnswer(std::function<void(CWebhookDlg&)> change) : change_(std::move(change)) {}

protected:
    int OnInvoked(CWebhookDlg* dialog) const override {
        dialog->TransferDataToWindow();
        change_(*dialog);
        return dialog->TakeFields() ? wxID_OK : wxID_CANCEL;
    }

private:
    std::function<void(CWebhookDlg&)> change_;
};

void setChoice(wxWindow* dialog, int id, const char* text) {
    dynamic_cast<wxChoice*>(dialog->FindWindow(id))->SetStringSelection(text);
}

class CSettingDlgTest : public ::testing::Test {
protected:
    void SetUp() override { open(given()); }

    // A dialog on `settings`, whose saver writes the file and puts the
    // values in force, as the running program's does.
    void open(const Settings& settings) {
        inForce = settings;
        dialog = std::make_unique<CSettingDlg>(nullptr, settings, delivery, saver());
    }
    CSettingDlg::Saver saver() {
        return [this](const Settings& values, std::string& error) {
            ++saves;
            if (!SaveSettings(settingsPath(), values, error)) return false;
            inForce = values;
            return true;
        };
    }

    std::string settingsPath() const { return dir.file("procward.ini"); }

    // What the saved file holds.
    Settings loadSaved() {
        std::vector<std::string> warnings;
        return LoadSettings(settingsPath(), warnings);
    }

    // Sets the two interval fields and presses "保存"; the message shown, if
    // any.
    std::string save(const char* minAlertInterval, const char* checkInterval) {
        editOf(dialog.get(), 1014)->ChangeValue(minAlertInterval);
        editOf(dialog.get(), 1008)->ChangeValue(checkInterval);
        std::string message;
        wxTEST_DIALOG(clickButton(dialog.get(), wxID_OK), ExpectMessageBox(message).Optional());
        return message;
    }

    void expectSettingsInForceUnchanged() { EXPECT_EQ(given(), inForce); }

    // Presses "测试" and lets the window run until the test mail is done
    // (the button is back).
    void testAndWait() {
        clickButton(dialog.get(), 1016);
        EXPECT_TRUE(pumpUntil([&] { return buttonOf(dialog.get(), 1016)->IsEnabled(); }));
    }

    void TearDown() override {
        dialog.reset();
        delivery.shutdown(std::chrono::milliseconds(0));
    }

    TempDir dir;
    MailDelivery delivery;
    Settings inForce;
    int saves = 0;
    std::unique_ptr<CSettingDlg> dialog;
};

TEST_F(CSettingDlgTest, ShowsTheTemplateWithItsIdsAndTexts) {
    EXPECT_EQ("系统设置", ToU8(dialog->GetTitle()));
    EXPECT_EQ(dialog->ConvertDialogToPixels(wxSize(319, 357)), dialog->GetClientSize());
    EXPECT_EQ(
        (std::vector<std::string>{"状态检查时间间隔(秒)：", "停止等待时间(秒)：", "重启退避上限(秒)：", "SMTP服务器：",
                                  "SMTP端口：", "SMTP账号：", "SMTP密码：", "最小告警时间间隔(秒)：", "邮件接收人：",
                                  "加密方式：", "通道保存后立即生效，无需重启。"}),
        labelsOf(dialog.get()));
    ASSERT_NE(nullptr, securityOf(dialog.get()));
    std::vector<std::string> modes;
    for (const wxString& item : securityOf(dialog.get())->GetStrings()) modes.push_back(ToU8(item));
    EXPECT_EQ((std::vector<std::string>{"自动", "STARTTLS", "SSL/TLS", "无"}), modes);
    ASSERT_NE(nullptr, verifyOf(dialog.get()));
    EXPECT_EQ("验证服务器证书", ToU8(verifyOf(dialog.get())->GetLabel()));
    for (int id : {1008, 1019, 1020, 1010, 1011, 1012, 1013, 1014, 1015})
        ASSERT_NE(nullptr, editOf(dialog.get(), id)) << id;
    EXPECT_TRUE(editOf(dialog.get(), 1013)->HasFlag(wxTE_PASSWORD));
    EXPECT_FALSE(editOf(dialog.get(), 1012)->HasFlag(wxTE_PASSWORD));
    EXPECT_TRUE(editOf(dialog.get(), 1015)->IsMultiLine());
    EXPECT_EQ("测试", ToU8(buttonOf(dialog.get(), 1016)->GetLabel()));
    EXPECT_EQ("保存", ToU8(buttonOf(dialog.get(), wxID_OK)->GetLabel()));
    EXPECT_EQ("取消", ToU8(buttonOf(dialog.get(), wxID_CANCEL)->GetLabel()));
    EXPECT_EQ(buttonOf(dialog.get(), wxID_OK), dialog->GetDefaultItem());
}

TEST_F(CSettingDlgTest, IntervalAndPortEditsTakeDigitsOnly) {
    // A key the edit refuses is taken by its filter and never reaches the
    // control; a digit is passed on.
    for (int id : {1008, 1019, 1020, 1011, 1014}) {
        for (int key : {'a', '-', '+', ' ', '.'}) EXPECT_TRUE(sendKey(editOf(dialog.get(), id), wxEVT_CHAR, key)) << id;
        for (int key : {'0', '5', '9'}) EXPECT_FALSE(sendKey(editOf(dialog.get(), id), wxEVT_CHAR, key)) << id;
        // Editing keys still work.
        EXPECT_FALSE(sendKey(editOf(dialog.get(), id), wxEVT_CHAR, WXK_BACK)) << id;
    }
    EXPECT_FALSE(sendKey(editOf(dialog.get(), 1010), wxEVT_CHAR, 'a'));
}

TEST_F(CSettingDlgTest, OpensWithTheSettingsInForceAndCancelStoresNothing) {
    dialog->m_checkInterval = 7;
    std::vector<std::string> shown;
    dialog->CallAfter([&] {
        for (int id : {1008, 1010, 1011, 1012, 1013, 1014, 1015})
            shown.push_back(ToU8(editOf(dialog.get(), id)->GetValue()));
        editOf(dialog.get(), 1010)->ChangeValue("other.example.org");
        editOf(dialog.get(), 1014)->ChangeValue("60");
        clickButton(dialog.get(), wxID_CANCEL);
    });
    EXPECT_EQ(wxID_CANCEL, dialog->ShowModal());
    EXPECT_EQ((std::vector<std::string>{"7", "smtp.example.org", "25", "alert", "secret", "5", "ops@example.org"}),
              shown);
    expectSettingsInForceUnchanged();
    EXPECT_EQ(7, dialog->m_checkInterval);
    EXPECT_FALSE(platform::fileExists(settingsPath()));
}

TEST_F(CSettingDlgTest, SaveRefusesBadIntervalsWithAMessageAndTheFocusOnTheField) {
    struct Refusal {
        const char* minAlertInterval;
        const char* checkInterval;
        const char* message;
        int focus;
    };
    const Refusal refusals[] = {
        {"0", "10", kRangeMessage, 1014},  {"121", "10", kRangeMessage, 1014},  {"", "10", kIntegerMessage, 1014},
        {"60", "", kIntegerMessage, 1008}, {"60", "0", kTooShortMessage, 1008},
    };
    std::vector<std::string> messages;
    std::vector<int> focus;
    bool stayedOpen = true;
    bool written = false;
    dialog->CallAfter([&] {
        for (const Refusal& refusal : refusals) {
            messages.push_back(save(refusal.minAlertInterval, refusal.checkInterval));
            focus.push_back(focusedId());
            stayedOpen = stayedOpen && dialog->IsModal();
            written = written || platform::fileExists(settingsPath());
        }
        expectSettingsInForceUnchanged();
        editOf(dialog.get(), 1010)->ChangeValue("mail.example.org");
        editOf(dialog.get(), 1015)->ChangeValue("a@example.org;b@example.org");
        messages.push_back(save("1", "86400"));
    });
    EXPECT_EQ(wxID_OK, dialog->ShowModal());
    ASSERT_EQ(6u, messages.size());
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(refusals[i].message, messages[i]) << i;
        EXPECT_EQ(refusals[i].focus, focus[i]) << i;
    }
    EXPECT_TRUE(stayedOpen);
    EXPECT_FALSE(written);
    EXPECT_EQ("", messages[5]);
    // Saved once: written to the file and put in force.
    EXPECT_EQ(1, saves);
    EXPECT_EQ("mail.example.org", inForce.mail.smtpServer);
    EXPECT_EQ("a@example.org;b@example.org", inForce.mail.smtpMailTo);
    EXPECT_EQ(1, inForce.mail.minAlertInterval);
    EXPECT_EQ(86400, inForce.general.checkInterval);
    EXPECT_EQ(86400, dialog->m_checkInterval);
    const Settings saved = loadSaved();
    EXPECT_EQ(86400, saved.general.checkInterval);
    EXPECT_EQ("mail.example.org", saved.mail.smtpServer);
    EXPECT_EQ("25", saved.mail.smtpPort);
    EXPECT_EQ("alert", saved.mail.smtpUser);
    EXPECT_EQ("secret", saved.mail.smtpPassword);
    EXPECT_EQ("a@example.org;b@example.org", saved.mail.smtpMailTo);
    EXPECT_EQ(1, saved.mail.minAlertInterval);
}

TEST_F(CSettingDlgTest, StopTimeoutAndBackoffMaximumAreShownCheckedAndSaved) {
    Settings settings = given();
    settings.general.stopTimeout = 15;
    settings.general.restartBackoffMax = 90;
    settings.general.metricsListen = "127.0.0.1:9464";
    open(settings);
    std::vector<std::string> shown;
    std::vector<std::string> messages;
    std::vector<int> focus;
    dialog->CallAfter([&] {
        shown = {ToU8(editOf(dialog.get(), 1019)->GetValue()), ToU8(editOf(dialog.get(), 1020)->GetValue())};
        // A pasted sign gets past the key filter; the check still refuses it.
        editOf(dialog.get(), 1019)->ChangeValue("-1");
        messages.push_back(save("5", "3"));
        focus.push_back(focusedId());
        editOf(dialog.get(), 1019)->ChangeValue("0");
        editOf(dialog.get(), 1020)->ChangeValue("");
        messages.push_back(save("5", "3"));
        focus.push_back(focusedId());
        editOf(dialog.get(), 1020)->ChangeValue("600");
        messages.push_back(save("5", "3"));
    });
    EXPECT_EQ(wxID_OK, dialog->ShowModal());
    EXPECT_EQ((std::vector<std::string>{"15", "90"}), shown);
    EXPECT_EQ((std::vector<std::string>{kNegativeMessage, kIntegerMessage, ""}), messages);
    EXPECT_EQ((std::vector<int>{1019, 1020}), focus);
    // In force at once and in the file.
    EXPECT_EQ(0, inForce.general.stopTimeout);
    EXPECT_EQ(600, inForce.general.restartBackoffMax);
    // What the dialog does not show stays as it was.
    EXPECT_EQ("127.0.0.1:9464", inForce.general.metricsListen);
    EXPECT_EQ(0, dialog->m_stopTimeout);
    EXPECT_EQ(600, dialog->m_restartBackoffMax);
    EXPECT_EQ(0, loadSaved().general.stopTimeout);
    EXPECT_EQ(600, loadSaved().general.restartBackoffMax);
}

TEST_F(CSettingDlgTest, ASaveThatCannotBeWrittenShowsWhyAndKeepsTheDialogAndTheOldFile) {
    std::string error;
    ASSERT_TRUE(SaveSettings(settingsPath(), given(), error));
    const std::string old = readFile(settingsPath());
    std::string message, caption;
    bool stayedOpen = false;
    Settings inForceMeanwhile;
    dialog->CallAfter([&] {
        editOf(dialog.get(), 1010)->ChangeValue(std::string(200, 's'));
        {
            // The new file would not fit: the write fails halfway, as on a
            // full disk.
            FileSizeLimit limit(old.size() + 10);
            wxTEST_DIALOG(clickButton(dialog.get(), wxID_OK), ExpectMessageBox(message, &caption));
        }
        stayedOpen = dialog->IsModal();
        inForceMeanwhile = inForce;
        // What was typed is still there: a second try once the disk has room.
        clickButton(dialog.get(), wxID_OK);
    });
    EXPECT_EQ(wxID_OK, dialog->ShowModal());
    EXPECT_EQ("设置保存失败：" + settingsPath() + ": " + std::strerror(EFBIG), message);
    EXPECT_EQ("Procward", caption);
    EXPECT_TRUE(stayedOpen);
    EXPECT_EQ(given(), inForceMeanwhile);
    EXPECT_EQ(2, saves);
    EXPECT_EQ(std::string(200, 's'), inForce.mail.smtpServer);
    EXPECT_EQ(std::string(200, 's'), loadSaved().mail.smtpServer);
}

TEST_F(CSettingDlgTest, ASaveIntoADirectoryThatIsGoneShowsWhy) {
    const std::string gone = dir.file("gone/procward.ini");
    dialog = std::make_unique<CSettingDlg>(nullptr, given(), delivery, [&](const Settings& values, std::string& error) {
        return SaveSettings(gone, values, error);
    });
    std::string message;
    dialog->CallAfter([&] {
        wxTEST_DIALOG(clickButton(dialog.get(), wxID_OK), ExpectMessageBox(message));
        clickButton(dialog.get(), wxID_CANCEL);
    });
    EXPECT_EQ(wxID_CANCEL, dialog->ShowModal());
    EXPECT_EQ("设置保存失败：" + gone + ": " + std::strerror(ENOENT), message);
    EXPECT_FALSE(platform::fileExists(gone));
}

TEST_F(CSettingDlgTest, EnterInTheRecipientsEditSavesTheDialog) {
    dialog->CallAfter([&] {
        editOf(dialog.get(), 1014)->ChangeValue("120");
        editOf(dialog.get(), 1015)->ChangeValue("x@example.org");
        // Ctrl+Enter is left to the edit.
        EXPECT_FALSE(sendKey(editOf(dialog.get(), 1015), wxEVT_KEY_DOWN, WXK_RETURN, wxMOD_CONTROL));
        EXPECT_TRUE(dialog->IsModal());
        sendKey(editOf(dialog.get(), 1015), wxEVT_KEY_DOWN, WXK_RETURN);
    });
    EXPECT_EQ(wxID_OK, dialog->ShowModal());
    EXPECT_EQ("x@example.org", inForce.mail.smtpMailTo);
    EXPECT_EQ(120, inForce.mail.minAlertInterval);
    EXPECT_EQ(3, loadSaved().general.checkInterval);
    EXPECT_EQ(120, loadSaved().mail.minAlertInterval);
}

TEST_F(CSettingDlgTest, TestMailFailureIsShownAfterTheRangeMessageAndNothingIsStored) {
    const int closedPort = freeTcpPort();
    std::string first, second, third;
    std::string caption, rangeCaption;
    bool stayedOpen = false;
    dialog->CallAfter([&] {
        // No recipients: fails without a connection.
        editOf(dialog.get(), 1015)->ChangeValue("");
        wxTEST_DIALOG(testAndWait(), ExpectMessageBox(first, &caption));
        // A refused connection, with an out-of-range interval reported first.
        editOf(dialog.get(), 1010)->ChangeValue("127.0.0.1");
        editOf(dialog.get(), 1011)->ChangeValue(wxString::Format("%d", closedPort));
        editOf(dialog.get(), 1015)->ChangeValue("ops@example.org");
        editOf(dialog.get(), 1014)->ChangeValue("0");
        wxTEST_DIALOG(testAndWait(), ExpectMessageBox(second, &rangeCaption), ExpectMessageBox(third));
        stayedOpen = dialog->IsModal();
        clickButton(dialog.get(), wxID_CANCEL);
    });
    EXPECT_EQ(wxID_CANCEL, dialog->ShowModal());
    EXPECT_EQ(CSettingDlg::testMailFailedMessage("no recipients are set (SMTP_MAILTO)"), first);
    // Both boxes carry the application name, as every box of the program does.
    EXPECT_EQ("Procward", caption);
    EXPECT_EQ("Procward", rangeCaption);
    EXPECT_EQ(kRangeMessage, second);
    // The cause, as the mail exchange gave it.
    EXPECT_EQ(CSettingDlg::testMailFailedMessage("Cannot connect to the mail server: Connection refused"), third);
    EXPECT_TRUE(stayedOpen);
    expectSettingsInForceUnchanged();
    EXPECT_FALSE(platform::fileExists(settingsPath()));
}

TEST_F(CSettingDlgTest, TestMailGoesThroughARealServerWithTheValuesAsTyped) {
    SmtpTestServer server;
    std::string sent, refused;
    dialog->CallAfter([&] {
        editOf(dialog.get(), 1010)->ChangeValue(server.host());
        editOf(dialog.get(), 1011)->ChangeValue(server.portText());
        editOf(dialog.get(), 1012)->ChangeValue(server.user());
        editOf(dialog.get(), 1013)->ChangeValue(server.password());
        editOf(dialog.get(), 1015)->ChangeValue("ops@example.test;dev@example.test");
        securityOf(dialog.get())->SetSelection(3);  // none: the test server speaks no TLS
        wxTEST_DIALOG(testAndWait(), ExpectMessageBox(sent));
        // A refused login fails.
        editOf(dialog.get(), 1013)->ChangeValue("wrong");
        wxTEST_DIALOG(testAndWait(), ExpectMessageBox(refused));
        clickButton(dialog.get(), wxID_CANCEL);
    });
    EXPECT_EQ(wxID_CANCEL, dialog->ShowModal());
    EXPECT_EQ(kSent, sent);
    EXPECT_EQ(0u, refused.rfind(std::string(kFailed) + "\n原因：", 0)) << refused;
    EXPECT_NE(std::string::npos, refused.find("(535 ")) << refused;
    const std::vector<ReceivedMessage> messages = server.waitForMessages(1);
    ASSERT_EQ(1u, messages.size()) << server.serverLog();
    EXPECT_EQ("Tessera SMTP test mail", messages[0].subject);
    EXPECT_NE(std::string::npos, messages[0].body.find("SMTP Setting Test Mail"));
    EXPECT_EQ((std::vector<std::string>{"ops@example.test", "dev@example.test"}), messages[0].rcptTos);
    EXPECT_EQ(server.user(), messages[0].authLogin);
    // A test stores nothing.
    expectSettingsInForceUnchanged();
    EXPECT_FALSE(platform::fileExists(settingsPath()));
}

TEST_F(CSettingDlgTest, SecurityModeAndCertificateCheckAreShownAndSaved) {
    Settings settings = given();
    settings.mail.smtpPort = "465";
    settings.mail.smtpSecurity = SmtpSecurity::Tls;
    settings.mail.smtpTlsVerify = false;
    open(settings);
    std::pair<int, bool> shown;
    dialog->CallAfter([&] {
        shown = {securityOf(dialog.get())->GetSelection(), verifyOf(dialog.get())->GetValue()};
        securityOf(dialog.get())->SetSelection(1);  // STARTTLS
        verifyOf(dialog.get())->SetValue(true);
        clickButton(dialog.get(), wxID_OK);
    });
    EXPECT_EQ(wxID_OK, dialog->ShowModal());
    EXPECT_EQ(std::make_pair(2, false), shown);  // SSL/TLS, unchecked
    EXPECT_EQ(SmtpSecurity::StartTls, inForce.mail.smtpSecurity);
    EXPECT_TRUE(inForce.mail.smtpTlsVerify);
    EXPECT_NE(std::string::npos, readFile(settingsPath()).find("\nSMTP_SECURITY=starttls\nSMTP_TLS_VERIFY=1\n"));

    // The defaults: automatic, certificate checked.
    CSettingDlg fresh(nullptr, Settings{}, delivery, saver());
    fresh.CallAfter([&] {
        shown = {securityOf(&fresh)->GetSelection(), verifyOf(&fresh)->GetValue()};
        clickButton(&fresh, wxID_CANCEL);
    });
    fresh.ShowModal();
    EXPECT_EQ(std::make_pair(0, true), shown);
}

TEST_F(CSettingDlgTest, TestMailUsesTheSecurityAsChosen) {
    const auto& certificates = TestCertificates::shared();
    ScopedTrustStore trust(certificates.authority.authorityFile());
    SmtpTestServer::Options options;
    options.security = SmtpTestServer::Security::ImplicitTls;
    options.certificateFile = certificates.loopback.certificateFile;
    options.keyFile = certificates.loopback.keyFile;
    SmtpTestServer server(options);
    std::string tls;
    dialog->CallAfter([&] {
        editOf(dialog.get(), 1010)->ChangeValue(server.host());
        editOf(dialog.get(), 1011)->ChangeValue(server.portText());
        editOf(dialog.get(), 1012)->ChangeValue(server.user());
        editOf(dialog.get(), 1013)->ChangeValue(server.password());
        editOf(dialog.get(), 1015)->ChangeValue("ops@example.test");
        // The listener speaks TLS from the first byte on a port that is not
        // 465: only the mode chosen in the dialog makes the mail go through.
        securityOf(dialog.get())->SetSelection(2);  // SSL/TLS
        wxTEST_DIALOG(testAndWait(), ExpectMessageBox(tls));
        clickButton(dialog.get(), wxID_CANCEL);
    });
    EXPECT_EQ(wxID_CANCEL, dialog->ShowModal());
    EXPECT_EQ(kSent, tls);
    const auto messages = server.waitForMessages(1);
    ASSERT_EQ(1u, messages.size());
    EXPECT_FALSE(messages[0].tlsVersion.empty());
    // Nothing stored: the settings in force keep their mode.
    EXPECT_EQ(SmtpSecurity::Auto, inForce.mail.smtpSecurity);
}

TEST_F(CSettingDlgTest, TestMailShowsThatItIsSendingAndTheDialogStaysUsable) {
    ScriptedSmtpPeer::Replies replies;
    replies.greeting = ScriptedSmtpPeer::kSilent;  // accepts, never answers
    ScriptedSmtpPeer peer(replies);
    std::string sendingLabel;
    bool disabledWhileSending = false, handledMeanwhile = false, stillSending = false;
    dialog->CallAfter([&] {
        editOf(dialog.get(), 1010)->ChangeValue("127.0.0.1");
        editOf(dialog.get(), 1011)->ChangeValue(std::to_string(peer.port()));
        editOf(dialog.get(), 1015)->ChangeValue("ops@example.test");
        {
            // The click returns at once, without any box.
            wxTestingModalHook noModal;
            clickButton(dialog.get(), 1016);
            noModal.CheckUnmetExpectations();
        }
        sendingLabel = ToU8(buttonOf(dialog.get(), 1016)->GetLabel());
        disabledWhileSending = !buttonOf(dialog.get(), 1016)->IsEnabled();
        // The window goes on handling its events while the mail waits.
        dialog->CallAfter([&] { handledMeanwhile = true; });
        EXPECT_TRUE(pumpUntil([&] { return handledMeanwhile && delivery.counts().inFlight; }));
        editOf(dialog.get(), 1010)->ChangeValue("typed meanwhile");
        stillSending = !buttonOf(dialog.get(), 1016)->IsEnabled();
        // Closing while the mail is out does not wait for it.
        clickButton(dialog.get(), wxID_CANCEL);
    });
    EXPECT_EQ(wxID_CANCEL, dialog->ShowModal());
    EXPECT_EQ("发送中…", sendingLabel);
    EXPECT_TRUE(disabledWhileSending);
    EXPECT_TRUE(handledMeanwhile);
    EXPECT_TRUE(stillSending);

    // The mail ends (cut short, as at exit); its late answer finds the dialog
    // closed and opens no box.
    wxTestingModalHook noModal;
    delivery.shutdown(std::chrono::milliseconds(0));
    EXPECT_TRUE(pumpUntil([&] { return buttonOf(dialog.get(), 1016)->IsEnabled(); }));
    noModal.CheckUnmetExpectations();
    EXPECT_EQ("测试", ToU8(buttonOf(dialog.get(), 1016)->GetLabel()));
}

TEST_F(CSettingDlgTest, ALateAnswerForADestroyedDialogIsDropped) {
    ScriptedSmtpPeer::Replies replies;
    replies.greeting = ScriptedSmtpPeer::kSilent;
    ScriptedSmtpPeer peer(replies);
    {
        auto gone = std::make_unique<CSettingDlg>(nullptr, given(), delivery, saver());
        gone->CallAfter([&] {
            editOf(gone.get(), 1010)->ChangeValue("127.0.0.1");
            editOf(gone.get(), 1011)->ChangeValue(std::to_string(peer.port()));
            editOf(gone.get(), 1015)->ChangeValue("ops@example.test");
            clickButton(gone.get(), 1016);
            EXPECT_TRUE(pumpUntil([&] { return delivery.counts().inFlight; }));
            clickButton(gone.get(), wxID_CANCEL);
        });
        gone->ShowModal();
    }
    // The completion comes through the toolkit after the dialog is gone.
    const auto failedBefore = delivery.counts().failed;
    wxTestingModalHook noModal;
    delivery.shutdown(std::chrono::milliseconds(0));
    wxTheApp->Yield(true);
    wxTheApp->ProcessPendingEvents();
    noModal.CheckUnmetExpectations();
    EXPECT_EQ(failedBefore + 1, delivery.counts().failed);
}

// --- the webhook channels

TEST_F(CSettingDlgTest, ChannelsAreAddedEditedAndRemovedAndSavedBesideTheKeysNotShown) {
    // A channel with a key the page does not show, and a section that is no
    // channel (no URL), both in a file others could read.
    writeFile(settingsPath(),
              "[WEBHOOK.ops]\nURL=https://chat.example.org/robot?key=abc\nKIND=wecom\nNOTE=keep me\n"
              "[WEBHOOK.draft]\nKIND=slack\n");
    ASSERT_EQ(0, ::chmod(settingsPath().c_str(), 0644));
    Settings settings = given();
    settings.webhooks = loadSaved().webhooks;
    ASSERT_EQ(1u, settings.webhooks.size());
    open(settings);
    dialog->TransferDataToWindow();
    auto* list = dynamic_cast<wxListBox*>(dialog->FindWindow(kWebhookListId));
    ASSERT_NE(nullptr, list);
    ASSERT_EQ(1u, list->GetCount());
    // The list does not show the token of the URL.
    EXPECT_EQ("ops  [wecom]  https://chat.example.org/…", ToU8(list->GetString(0)));

    // A name taken (ASCII case ignored) is refused with its message.
    std::string message;
    wxTEST_DIALOG(clickButton(dialog.get(), kWebhookAddButtonId), WebhookAnswer([](CWebhookDlg& d) {
                      editOf(&d, kWebhookNameEditId)->ChangeValue("OPS");
                      editOf(&d, kWebhookUrlEditId)->ChangeValue("https://127.0.0.1/x");
                  }),
                  ExpectMessageBox(message));
    EXPECT_EQ(kWebhookNameTakenMessage, message);
    EXPECT_EQ(1u, list->GetCount());

    bool secretMasked = false;
    wxTEST_DIALOG(clickButton(dialog.get(), kWebhookAddButtonId), WebhookAnswer([&](CWebhookDlg& d) {
                      secretMasked = editOf(&d, kWebhookSecretEditId)->HasFlag(wxTE_PASSWORD);
                      editOf(&d, kWebhookNameEditId)->ChangeValue(U8("值班"));
                      editOf(&d, kWebhookUrlEditId)->ChangeValue(" https://127.0.0.1:9/hook?token=t ");
                      setChoice(&d, kWebhookKindChoiceId, "dingtalk");
                      editOf(&d, kWebhookSecretEditId)->ChangeValue("SEC-1=x");
                      editOf(&d, kWebhookEventsEditId)->ChangeValue("down, restarted");
                      editOf(&d, kWebhookMinIntervalEditId)->ChangeValue("0");
                  }));
    EXPECT_TRUE(secretMasked);
    ASSERT_EQ(2u, list->GetCount());

    // The channel read from the file opens with its values; a changed
    // time-out is all that changes.
    list->SetSelection(0);
    std::string urlShown;
    wxTEST_DIALOG(clickButton(dialog.get(), kWebhookEditButtonId), WebhookAnswer([&](CWebhookDlg& d) {
                      urlShown = ToU8(editOf(&d, kWebhookUrlEditId)->GetValue());
                      editOf(&d, kWebhookTimeoutEditId)->ChangeValue("20");
                  }));
    EXPECT_EQ("https://chat.example.org/robot?key=abc", urlShown);

    EXPECT_EQ("", save("5", "3"));
    const std::string file = readFile(settingsPath());
    EXPECT_NE(std::string::npos, file.find("[WEBHOOK.ops]\nURL=https://chat.example.org/robot?key=abc\nKIND=wecom\n"
                                           "NOTE=keep me\nTIMEOUT=20\n"))
        << file;
    EXPECT_NE(std::string::npos, file.find("[WEBHOOK.draft]\nKIND=slack\n")) << file;
    // The secret is kept as the SMTP password is: as typed, in a file only
    // its owner can read.
    EXPECT_NE(std::string::npos, file.find("[WEBHOOK.值班]\nURL=https://127.0.0.1:9/hook?token=t\nKIND=dingtalk\n"
                                           "SECRET=SEC-1=x\nEVENTS=down,restarted\nMIN_INTERVAL=0\n"))
        << file;
    EXPECT_NE(std::string::npos, file.find("SMTP_PASSWORD=secret")) << file;
    struct stat st {};
    ASSERT_EQ(0, ::stat(settingsPath().c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    const Settings saved = loadSaved();
    EXPECT_EQ(inForce.webhooks, saved.webhooks);
    ASSERT_EQ(2u, saved.webhooks.size());
    EXPECT_EQ("SEC-1=x", saved.webhooks[1].secret);

    // Removed: its section goes, the other stays.
    open(saved);
    dialog->TransferDataToWindow();
    list = dynamic_cast<wxListBox*>(dialog->FindWindow(kWebhookListId));
    list->SetSelection(0);
    clickButton(dialog.get(), kWebhookRemoveButtonId);
    ASSERT_EQ(1u, list->GetCount());
    EXPECT_EQ(0, list->GetSelection());
    EXPECT_EQ("", save("5", "3"));
    const std::string after = readFile(settingsPath());
    EXPECT_EQ(std::string::npos, after.find("[WEBHOOK.ops]")) << after;
    EXPECT_EQ(std::string::npos, after.find("NOTE=keep me")) << after;
    EXPECT_NE(std::string::npos, after.find("[WEBHOOK.值班]")) << after;
    EXPECT_NE(std::string::npos, after.find("[WEBHOOK.draft]")) << after;
}

TEST_F(CSettingDlgTest, ASavedChannelTakesATestAlertToARealReceiver) {
    const TestCertificates::Shared& certificates = TestCertificates::shared();
    ScopedTrustStore trust{certificates.authority.authorityFile()};
    ChatServer receiver(certificates.loopback);
    dialog->TransferDataToWindow();
    wxTEST_DIALOG(clickButton(dialog.get(), kWebhookAddButtonId), WebhookAnswer([&](CWebhookDlg& d) {
                      editOf(&d, kWebhookNameEditId)->ChangeValue("robot");
                      editOf(&d, kWebhookUrlEditId)->ChangeValue(receiver.url("/hook?access_token=t1"));
                      setChoice(&d, kWebhookKindChoiceId, "dingtalk");
                      editOf(&d, kWebhookSecretEditId)->ChangeValue("SECabc");
                  }));
    EXPECT_EQ("", save("5", "3"));
    ASSERT_EQ(1u, inForce.webhooks.size());

    // `procward --test-alert robot` reads the saved file.
    AppDirectories::setConfigDirectory(dir.path());
    TempDir outDir;
    std::FILE* out = std::fopen(outDir.file("out.txt").c_str(), "w+");
    ASSERT_NE(nullptr, out);
    const int code = RunTestAlertCommand(out, "robot");
    std::fclose(out);
    AppDirectories::setConfigDirectory("");
    EXPECT_EQ(0, code) << readFile(outDir.file("out.txt"));
    ASSERT_TRUE(receiver.waitForRequests(1));
    const ChatServer::Request request = receiver.requests().front();
    EXPECT_EQ("/hook", request.path);
    EXPECT_EQ("t1", request.params.at("access_token"));
    // The secret signs the post.
    EXPECT_TRUE(request.params.count("sign")) << request.body;
}

}  // namespace
