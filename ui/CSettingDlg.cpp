#include "ui/CSettingDlg.h"

#include <wx/msgdlg.h>
#include <wx/utils.h>
#include <wx/valtext.h>

#include "config/AlertMailSettings.h"
#include "config/SettingsFile.h"
#include "mail/AlertDispatch.h"
#include "ui/ApplicationCaption.h"
#include "ui/DialogTemplate.h"
#include "ui/model/SettingsForm.h"

namespace {

const char* const kTestMailSent = "测试邮件发送成功，请点击 '保存' 按钮保存SMTP设置!";
const char* const kTestMailFailed = "测试邮件发送失败!";

// Only the digits 0 to 9 can be typed.
wxTextValidator digitsOnly() { return wxTextValidator(wxFILTER_DIGITS); }

}  // namespace

CSettingDlg::CSettingDlg(wxWindow* parent)
    : wxDialog(parent, wxID_ANY, U8("系统设置"), wxDefaultPosition, wxDefaultSize,
               wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX),
      m_settingsPath(SettingsFilePath()) {
    DialogTemplate layout(this, 319, 219);
    layout.groupBox(wxID_ANY, "基本设置", 12, 7, 300, 34);
    layout.label(wxID_ANY, "状态检查时间间隔(秒)：", 27, 21, 87, 8);
    m_checkIntervalEdit = layout.edit(kCheckIntervalEditId, 117, 19, 183, 14);
    layout.groupBox(wxID_ANY, "告警邮件", 12, 45, 300, 144);
    layout.label(wxID_ANY, "SMTP服务器：", 63, 59, 51, 8);
    m_serverEdit = layout.edit(kSmtpServerEditId, 117, 56, 183, 14);
    layout.label(wxID_ANY, "SMTP端口：", 71, 78, 42, 8);
    m_portEdit = layout.edit(kSmtpPortEditId, 117, 75, 183, 14);
    layout.label(wxID_ANY, "SMTP账号：", 71, 97, 42, 8);
    m_userEdit = layout.edit(kSmtpUserEditId, 117, 94, 183, 14);
    layout.label(wxID_ANY, "SMTP密码：", 71, 116, 43, 8);
    m_passwordEdit = layout.edit(kSmtpPasswordEditId, 117, 113, 183, 14, wxTE_PASSWORD);
    layout.label(wxID_ANY, "最小告警时间间隔(秒)：", 27, 135, 88, 8);
    m_minAlertIntervalEdit = layout.edit(kMinAlertIntervalEditId, 117, 132, 183, 14);
    layout.label(wxID_ANY, "邮件接收人：", 64, 154, 49, 8);
    m_recipientsEdit = layout.edit(kMailToEditId, 117, 152, 183, 28, wxTE_MULTILINE | wxTE_NO_VSCROLL);
    layout.button(kTestMailButtonId, "测试", 80, 198, 50, 14);
    layout.button(wxID_OK, "保存", 135, 198, 50, 14)->SetDefault();
    layout.button(wxID_CANCEL, "取消", 190, 198, 50, 14);

    for (wxTextCtrl* edit : {m_checkIntervalEdit, m_portEdit, m_minAlertIntervalEdit})
        edit->SetValidator(digitsOnly());

    Bind(wxEVT_INIT_DIALOG, &CSettingDlg::OnInitDialog, this);
    Bind(wxEVT_BUTTON, &CSettingDlg::OnBnClickedOk, this, wxID_OK);
    Bind(wxEVT_BUTTON, &CSettingDlg::OnBnClickedTest, this, kTestMailButtonId);
    m_recipientsEdit->Bind(wxEVT_KEY_DOWN, &CSettingDlg::OnRecipientsKeyDown, this);
}

void CSettingDlg::OnInitDialog(wxInitDialogEvent& event) {
    m_server = AlertMailSettings.smtpServer;
    m_port = AlertMailSettings.smtpPort;
    m_user = AlertMailSettings.smtpUser;
    m_password = AlertMailSettings.smtpPassword;
    m_recipients = AlertMailSettings.smtpMailTo;
    m_minAlertInterval = AlertMailSettings.minAlertInterval;
    event.Skip();  // the base shows the members
}

bool CSettingDlg::TransferDataToWindow() {
    m_serverEdit->ChangeValue(U8(m_server));
    m_portEdit->ChangeValue(U8(m_port));
    m_userEdit->ChangeValue(U8(m_user));
    m_passwordEdit->ChangeValue(U8(m_password));
    m_recipientsEdit->ChangeValue(U8(m_recipients));
    m_minAlertIntervalEdit->ChangeValue(wxString::Format("%d", m_minAlertInterval));
    m_checkIntervalEdit->ChangeValue(wxString::Format("%d", m_checkInterval));
    return true;
}

bool CSettingDlg::TransferDataFromWindow() {
    const SettingsTexts texts{ToU8(m_serverEdit->GetValue()),           ToU8(m_portEdit->GetValue()),
                              ToU8(m_userEdit->GetValue()),             ToU8(m_passwordEdit->GetValue()),
                              ToU8(m_recipientsEdit->GetValue()),       ToU8(m_minAlertIntervalEdit->GetValue()),
                              ToU8(m_checkIntervalEdit->GetValue())};
    SettingsValues values{m_server, m_port, m_user, m_password, m_recipients, m_minAlertInterval, m_checkInterval};
    const SettingsExchange exchange = TakeSettings(texts, values);
    m_server = values.server;
    m_port = values.port;
    m_user = values.user;
    m_password = values.password;
    m_recipients = values.recipients;
    m_minAlertInterval = values.minAlertInterval;
    m_checkInterval = values.checkInterval;
    if (exchange.ok) return true;

    wxMessageBox(U8(exchange.message), ApplicationCaption(), wxOK | wxICON_EXCLAMATION, this);
    if (auto* field = dynamic_cast<wxTextCtrl*>(FindWindow(exchange.failedField))) {
        field->SetFocus();
        field->SelectAll();
    }
    return false;
}

void CSettingDlg::OnBnClickedOk(wxCommandEvent&) {
    if (!TransferDataFromWindow()) return;
    SetAlertMailSettings(m_server, m_port, m_user, m_password, m_recipients, m_minAlertInterval);
    SaveSettingsFile(m_settingsPath, m_checkInterval, m_server, m_port, m_user, m_password, m_recipients,
                     m_minAlertInterval);
    EndDialog(wxID_OK);
}

void CSettingDlg::OnBnClickedTest(wxCommandEvent&) {
    // A failing interval is reported, but the test needs only the texts,
    // which are taken first.
    TransferDataFromWindow();
    std::string error;
    bool sent = false;
    {
        // The window waits for the whole exchange with the server.
        wxBusyCursor busy;
        sent = SendMail(error, m_server, m_port, m_user, m_password, "Tessera SMTP test mail", "SMTP Setting Test Mail",
                        m_recipients, "");
    }
    wxMessageBox(U8(sent ? kTestMailSent : kTestMailFailed), ApplicationCaption(),
                 wxOK | (sent ? wxICON_INFORMATION : wxICON_ERROR), this);
}

void CSettingDlg::OnRecipientsKeyDown(wxKeyEvent& event) {
    // The recipients edit does not take Enter: it saves the dialog like the
    // default button.
    const int key = event.GetKeyCode();
    if ((key == WXK_RETURN || key == WXK_NUMPAD_ENTER) && !event.HasAnyModifiers()) {
        wxWindow* save = FindWindow(wxID_OK);
        wxCommandEvent click(wxEVT_BUTTON, wxID_OK);
        click.SetEventObject(save);
        save->GetEventHandler()->ProcessEvent(click);
        return;
    }
    event.Skip();
}
