#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include <wx/dialog.h>

#include "config/SmtpSecurity.h"

class wxButton;
class wxCheckBox;
class wxChoice;
class wxTextCtrl;
class wxKeyEvent;

// The check interval, the stop time-out, the restart back-off maximum and
// the alert-mail settings. Opens with the settings in force
// (AlertMailSettings, GeneralSettings) and the check interval the opener set
// in m_checkInterval; "测试" sends a test mail with the values as typed through
// the mail delivery thread (the button shows "发送中…" meanwhile, the dialog
// stays usable, and the result box comes when the mail is done); "保存"
// checks the values, puts them in force, writes procward.ini and ends with
// wxID_OK, after which the opener reads m_checkInterval back; "取消", Escape
// and the close box end with wxID_CANCEL and store nothing.
class CSettingDlg : public wxDialog {
public:
    static constexpr int IDD = 129;

    explicit CSettingDlg(wxWindow* parent = nullptr);
    ~CSettingDlg() override;

    std::string m_server;
    std::string m_port;
    std::string m_user;
    std::string m_password;
    std::string m_recipients;
    std::int32_t m_minAlertInterval = 0;
    std::int32_t m_checkInterval = 3;  // the opener sets the interval in use
    std::int32_t m_stopTimeout = 10;
    std::int32_t m_restartBackoffMax = 0;
    SmtpSecurity m_security = SmtpSecurity::Auto;
    bool m_tlsVerify = true;
    // Where "保存" writes the settings: procward.ini beside the executable.
    std::string m_settingsPath;

    // Members into the controls.
    bool TransferDataToWindow() override;
    // Controls into the members: the texts, then the minimum alert interval
    // (an integer from 1 to 120), then the check interval (at least 1), the
    // stop time-out and the back-off maximum (at least 0). The
    // first field that fails gets a message box and the focus, and ends the
    // exchange with false; the fields before it are taken.
    bool TransferDataFromWindow() override;

private:
    void OnInitDialog(wxInitDialogEvent& event);
    void OnBnClickedOk(wxCommandEvent& event);
    void OnBnClickedTest(wxCommandEvent& event);
    void OnRecipientsKeyDown(wxKeyEvent& event);
    // On the window's thread, when the test mail is done.
    void OnTestMailDone(bool sent);

    // What a test mail's completion uses to find the dialog, cleared when
    // the dialog goes, so a late completion finds nothing.
    struct TestMailLink {
        CSettingDlg* dialog = nullptr;
    };
    std::shared_ptr<TestMailLink> m_testMailLink;
    bool m_testMailInFlight = false;

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
};
