#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <wx/dialog.h>

#include "config/Settings.h"
#include "config/SmtpSecurity.h"

class MailDelivery;
class wxButton;
class wxCheckBox;
class wxChoice;
class wxTextCtrl;
class wxKeyEvent;
class wxListBox;

// The check interval, the stop time-out, the restart back-off maximum and
// the alert-mail settings. Opens with the settings it is given (those in
// force); "测试" sends a test mail with the values as typed through the
// delivery it is given, which is the test mails' own (so a test never
// waits behind queued alerts); the button shows "发送中…" meanwhile, the
// dialog stays usable, and the result box comes when the mail is done, a
// failure with its cause from the mail exchange; "保存" checks the
// values and hands them to the saver, which writes and applies them: when
// it cannot, a box tells why and the dialog stays open, else it ends with
// wxID_OK. "取消", Escape and the close box end with wxID_CANCEL and store
// nothing.
//
// Beneath the mail, the webhook channels ([WEBHOOK.<name>] of procward.ini)
// are listed; "添加", "修改" (or a double click) and "删除" change the list
// through CWebhookDlg, and "保存" writes it with the other settings. A
// secret is shown masked and kept in the file as the SMTP password is.
class CSettingDlg : public wxDialog {
public:
    static constexpr int IDD = 129;

    // Writes the settings and puts them in force; false with the reason
    // when they could not be written.
    using Saver = std::function<bool(const Settings& settings, std::string& error)>;

    CSettingDlg(wxWindow* parent, const Settings& current, MailDelivery& delivery, Saver save);
    ~CSettingDlg() override;

    std::string m_server;
    std::string m_port;
    std::string m_user;
    std::string m_password;
    std::string m_recipients;
    std::int32_t m_minAlertInterval = 0;
    std::int32_t m_checkInterval = 3;
    std::int32_t m_stopTimeout = 10;
    std::int32_t m_restartBackoffMax = 0;
    SmtpSecurity m_security = SmtpSecurity::Auto;
    bool m_tlsVerify = true;
    std::vector<WebhookSettingsData> m_webhooks;

    // The settings of the members (the keys the dialog does not show as
    // they were given).
    Settings Values() const;
    // Hands Values() to the saver; when it fails, a box shows why and the
    // result is false.
    bool Apply();

    // Members into the controls.
    bool TransferDataToWindow() override;
    // Controls into the members: the texts, then the minimum alert interval
    // (an integer from 1 to 120), then the check interval (at least 1), the
    // stop time-out and the back-off maximum (at least 0). The
    // first field that fails gets a message box and the focus, and ends the
    // exchange with false; the fields before it are taken.
    bool TransferDataFromWindow() override;

private:
    void OnBnClickedOk(wxCommandEvent& event);
    void OnBnClickedTest(wxCommandEvent& event);
    void OnRecipientsKeyDown(wxKeyEvent& event);
    void OnWebhookAdd(wxCommandEvent& event);
    void OnWebhookEdit(wxCommandEvent& event);
    void OnWebhookRemove(wxCommandEvent& event);
    // The list's lines from m_webhooks, the line `selected` chosen.
    void ShowWebhooks(int selected);
    // The names of the channels but the one at `except`.
    std::vector<std::string> WebhookNames(int except) const;
    // On the window's thread, when the test mail is done; `error` says why
    // it was not sent.
    void OnTestMailDone(bool sent, const std::string& error);

public:
    // The box after a failed test mail: "测试邮件发送失败!" and the cause.
    static std::string testMailFailedMessage(const std::string& error);

private:

    // What a test mail's completion uses to find the dialog, cleared when
    // the dialog goes, so a late completion finds nothing.
    struct TestMailLink {
        CSettingDlg* dialog = nullptr;
    };
    std::shared_ptr<TestMailLink> m_testMailLink;
    bool m_testMailInFlight = false;
    Settings m_given;
    MailDelivery& m_delivery;
    Saver m_save;

    wxTextCtrl* m_checkIntervalEdit;
    wxTextCtrl* m_stopTimeoutEdit;
    wxTextCtrl* m_restartBackoffMaxEdit;
    wxTextCtrl* m_serverEdit;
    wxTextCtrl* m_portEdit;
    wxTextCtrl* m_userEdit;
    wxTextCtrl* m_passwordEdit;
    wxTextCtrl* m_minAlertIntervalEdit;
    wxTextCtrl* m_recipientsEdit;
    wxChoice* m_securityChoice;
    wxCheckBox* m_tlsVerifyCheck;
    wxButton* m_testButton;
    wxListBox* m_webhookList;
};
