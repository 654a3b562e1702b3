#include "ui/CSettingDlg.h"

#include <algorithm>

#include <wx/app.h>
#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/listbox.h>
#include <wx/msgdlg.h>
#include <wx/utils.h>
#include <wx/valtext.h>

#include "mail/AlertDispatch.h"
#include "mail/MailDelivery.h"
#include "ui/ApplicationCaption.h"
#include "ui/CWebhookDlg.h"
#include "ui/DialogTemplate.h"
#include "ui/model/ReasonText.h"
#include "ui/model/SettingsForm.h"
#include "ui/model/WebhookForm.h"

namespace {

const char* const kTestMailSent = "测试邮件发送成功，请点击 '保存' 按钮保存SMTP设置!";
const char* const kTestMailFailed = "测试邮件发送失败!";
const char* const kTestButton = "测试";
const char* const kTestButtonSending = "发送中…";
const char* const kNotSaved = "设置保存失败：";
// In the order of SmtpSecurity.
const char* const kSecurityLabels[] = {"自动", "STARTTLS", "SSL/TLS", "无"};

// Only the digits 0 to 9 can be typed.
wxTextValidator digitsOnly() { return wxTextValidator(wxFILTER_DIGITS); }

}  // namespace

CSettingDlg::CSettingDlg(wxWindow* parent, const Settings& current, MailDelivery& delivery, Saver save)
    : wxDialog(parent, wxID_ANY, U8("系统设置"), wxDefaultPosition, wxDefaultSize,
               wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX),
      m_server(current.mail.smtpServer),
      m_port(current.mail.smtpPort),
      m_user(current.mail.smtpUser),
      m_password(current.mail.smtpPassword),
      m_recipients(current.mail.smtpMailTo),
      m_minAlertInterval(current.mail.minAlertInterval),
      m_checkInterval(current.general.checkInterval),
      m_stopTimeout(current.general.stopTimeout),
      m_restartBackoffMax(current.general.restartBackoffMax),
      m_security(current.mail.smtpSecurity),
      m_tlsVerify(current.mail.smtpTlsVerify),
      m_webhooks(current.webhooks),
      m_testMailLink(std::make_shared<TestMailLink>()),
      m_given(current),
      m_delivery(delivery),
      m_save(std::move(save)) {
    m_testMailLink->dialog = this;
    DialogTemplate layout(this, 319, 357);
    layout.groupBox(wxID_ANY, "基本设置", 12, 7, 300, 72);
    layout.label(wxID_ANY, "状态检查时间间隔(秒)：", 27, 21, 87, 8);
    m_checkIntervalEdit = layout.edit(kCheckIntervalEditId, 117, 19, 183, 14);
    layout.label(wxID_ANY, "停止等待时间(秒)：", 43, 40, 71, 8);
    m_stopTimeoutEdit = layout.edit(kStopTimeoutEditId, 117, 38, 183, 14);
    layout.label(wxID_ANY, "重启退避上限(秒)：", 43, 59, 71, 8);
    m_restartBackoffMaxEdit = layout.edit(kRestartBackoffMaxEditId, 117, 57, 183, 14);
    layout.groupBox(wxID_ANY, "告警邮件", 12, 83, 300, 166);
    layout.label(wxID_ANY, "SMTP服务器：", 63, 97, 51, 8);
    m_serverEdit = layout.edit(kSmtpServerEditId, 117, 94, 183, 14);
    layout.label(wxID_ANY, "SMTP端口：", 71, 116, 42, 8);
    m_portEdit = layout.edit(kSmtpPortEditId, 117, 113, 183, 14);
    layout.label(wxID_ANY, "SMTP账号：", 71, 135, 42, 8);
    m_userEdit = layout.edit(kSmtpUserEditId, 117, 132, 183, 14);
    layout.label(wxID_ANY, "SMTP密码：", 71, 154, 43, 8);
    m_passwordEdit = layout.edit(kSmtpPasswordEditId, 117, 151, 183, 14, wxTE_PASSWORD);
    layout.label(wxID_ANY, "最小告警时间间隔(秒)：", 27, 173, 88, 8);
    m_minAlertIntervalEdit = layout.edit(kMinAlertIntervalEditId, 117, 170, 183, 14);
    layout.label(wxID_ANY, "邮件接收人：", 64, 192, 49, 8);
    m_recipientsEdit = layout.edit(kMailToEditId, 117, 190, 183, 28, wxTE_MULTILINE | wxTE_NO_VSCROLL);
    layout.label(wxID_ANY, "加密方式：", 72, 227, 41, 8);
    wxArrayString securityLabels;
    for (const char* label : kSecurityLabels) securityLabels.Add(U8(label));
    const wxRect choiceRect = layout.rect(117, 224, 90, 14);
    m_securityChoice = new wxChoice(this, kSmtpSecurityChoiceId, choiceRect.GetPosition(), choiceRect.GetSize(),
                                    securityLabels);
    const wxRect checkRect = layout.rect(214, 225, 86, 12);
    m_tlsVerifyCheck = new wxCheckBox(this, kTlsVerifyCheckId, U8("验证服务器证书"), checkRect.GetPosition(),
                                      checkRect.GetSize());
    layout.groupBox(wxID_ANY, "Webhook告警", 12, 253, 300, 80);
    const wxRect listRect = layout.rect(20, 265, 226, 54);
    m_webhookList = new wxListBox(this, kWebhookListId, listRect.GetPosition(), listRect.GetSize());
    layout.button(kWebhookAddButtonId, "添加", 252, 265, 50, 14);
    layout.button(kWebhookEditButtonId, "修改", 252, 285, 50, 14);
    layout.button(kWebhookRemoveButtonId, "删除", 252, 305, 50, 14);
    layout.label(wxID_ANY, "通道保存后立即生效，无需重启。", 20, 321, 226, 8);
    m_testButton = layout.button(kTestMailButtonId, kTestButton, 80, 338, 50, 14);
    layout.button(wxID_OK, "保存", 135, 338, 50, 14)->SetDefault();
    layout.button(wxID_CANCEL, "取消", 190, 338, 50, 14);

    for (wxTextCtrl* edit :
         {m_checkIntervalEdit, m_stopTimeoutEdit, m_restartBackoffMaxEdit, m_portEdit, m_minAlertIntervalEdit})
        edit->SetValidator(digitsOnly());

    Bind(wxEVT_BUTTON, &CSettingDlg::OnBnClickedOk, this, wxID_OK);
    Bind(wxEVT_BUTTON, &CSettingDlg::OnBnClickedTest, this, kTestMailButtonId);
    m_recipientsEdit->Bind(wxEVT_KEY_DOWN, &CSettingDlg::OnRecipientsKeyDown, this);
    Bind(wxEVT_BUTTON, &CSettingDlg::OnWebhookAdd, this, kWebhookAddButtonId);
    Bind(wxEVT_BUTTON, &CSettingDlg::OnWebhookEdit, this, kWebhookEditButtonId);
    Bind(wxEVT_LISTBOX_DCLICK, &CSettingDlg::OnWebhookEdit, this, kWebhookListId);
    Bind(wxEVT_BUTTON, &CSettingDlg::OnWebhookRemove, this, kWebhookRemoveButtonId);
}

CSettingDlg::~CSettingDlg() { m_testMailLink->dialog = nullptr; }

bool CSettingDlg::TransferDataToWindow() {
    m_serverEdit->ChangeValue(U8(m_server));
    m_portEdit->ChangeValue(U8(m_port));
    m_userEdit->ChangeValue(U8(m_user));
    m_passwordEdit->ChangeValue(U8(m_password));
    m_recipientsEdit->ChangeValue(U8(m_recipients));
    m_minAlertIntervalEdit->ChangeValue(wxString() << m_minAlertInterval);
    m_checkIntervalEdit->ChangeValue(wxString() << m_checkInterval);
    m_stopTimeoutEdit->ChangeValue(wxString() << m_stopTimeout);
    m_restartBackoffMaxEdit->ChangeValue(wxString() << m_restartBackoffMax);
    m_securityChoice->SetSelection(static_cast<int>(m_security));
    m_tlsVerifyCheck->SetValue(m_tlsVerify);
    ShowWebhooks(m_webhooks.empty() ? wxNOT_FOUND : 0);
    return true;
}

void CSettingDlg::ShowWebhooks(int selected) {
    m_webhookList->Clear();
    for (const WebhookSettingsData& channel : m_webhooks) m_webhookList->Append(U8(WebhookLine(channel)));
    if (selected != wxNOT_FOUND && selected < static_cast<int>(m_webhooks.size()))
        m_webhookList->SetSelection(selected);
}

std::vector<std::string> CSettingDlg::WebhookNames(int except) const {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < m_webhooks.size(); ++i)
        if (static_cast<int>(i) != except) names.push_back(m_webhooks[i].name);
    return names;
}

void CSettingDlg::OnWebhookAdd(wxCommandEvent&) {
    CWebhookDlg add(this, true);
    add.m_otherNames = WebhookNames(wxNOT_FOUND);
    if (add.ShowModal() != wxID_OK) return;
    m_webhooks.push_back(add.m_channel);
    ShowWebhooks(static_cast<int>(m_webhooks.size()) - 1);
}

void CSettingDlg::OnWebhookEdit(wxCommandEvent&) {
    const int at = m_webhookList->GetSelection();
    if (at == wxNOT_FOUND || at >= static_cast<int>(m_webhooks.size())) return;
    CWebhookDlg edit(this, false);
    edit.m_channel = m_webhooks[static_cast<std::size_t>(at)];
    edit.m_otherNames = WebhookNames(at);
    if (edit.ShowModal() != wxID_OK) return;
    m_webhooks[static_cast<std::size_t>(at)] = edit.m_channel;
    ShowWebhooks(at);
}

void CSettingDlg::OnWebhookRemove(wxCommandEvent&) {
    const int at = m_webhookList->GetSelection();
    if (at == wxNOT_FOUND || at >= static_cast<int>(m_webhooks.size())) return;
    m_webhooks.erase(m_webhooks.begin() + at);
    ShowWebhooks(std::min(at, static_cast<int>(m_webhooks.size()) - 1));
}

bool CSettingDlg::TransferDataFromWindow() {
    // The choice and the check box cannot hold a wrong value; they are
    // taken with the texts.
    const int selection = m_securityChoice->GetSelection();
    if (selection >= 0 && selection < static_cast<int>(std::size(kSecurityLabels)))
        m_security = static_cast<SmtpSecurity>(selection);
    m_tlsVerify = m_tlsVerifyCheck->GetValue();
    const SettingsTexts texts{ToU8(m_serverEdit->GetValue()),           ToU8(m_portEdit->GetValue()),
                              ToU8(m_userEdit->GetValue()),             ToU8(m_passwordEdit->GetValue()),
                              ToU8(m_recipientsEdit->GetValue()),       ToU8(m_minAlertIntervalEdit->GetValue()),
                              ToU8(m_checkIntervalEdit->GetValue()),    ToU8(m_stopTimeoutEdit->GetValue()),
                              ToU8(m_restartBackoffMaxEdit->GetValue())};
    SettingsValues values{m_server,           m_port,          m_user,        m_password,         m_recipients,
                          m_minAlertInterval, m_checkInterval, m_stopTimeout, m_restartBackoffMax};
    const SettingsExchange exchange = TakeSettings(texts, values);
    m_server = values.server;
    m_port = values.port;
    m_user = values.user;
    m_password = values.password;
    m_recipients = values.recipients;
    m_minAlertInterval = values.minAlertInterval;
    m_checkInterval = values.checkInterval;
    m_stopTimeout = values.stopTimeout;
    m_restartBackoffMax = values.restartBackoffMax;
    if (exchange.ok) return true;

    wxMessageBox(U8(exchange.message), ApplicationCaption(), wxOK | wxICON_EXCLAMATION, this);
    if (auto* field = dynamic_cast<wxTextCtrl*>(FindWindow(exchange.failedField))) {
        field->SetFocus();
        field->SelectAll();
    }
    return false;
}

Settings CSettingDlg::Values() const {
    Settings values = m_given;
    values.general.checkInterval = m_checkInterval;
    values.general.stopTimeout = m_stopTimeout;
    values.general.restartBackoffMax = m_restartBackoffMax;
    values.mail.smtpServer = m_server;
    values.mail.smtpPort = m_port;
    values.mail.smtpUser = m_user;
    values.mail.smtpPassword = m_password;
    values.mail.smtpMailTo = m_recipients;
    values.mail.minAlertInterval = m_minAlertInterval;
    values.mail.smtpSecurity = m_security;
    values.mail.smtpTlsVerify = m_tlsVerify;
    values.webhooks = m_webhooks;
    return values;
}

bool CSettingDlg::Apply() {
    std::string error;
    if (!m_save || m_save(Values(), error)) return true;
    wxMessageBox(U8(kNotSaved + error), ApplicationCaption(), wxOK | wxICON_ERROR, this);
    return false;
}

void CSettingDlg::OnBnClickedOk(wxCommandEvent&) {
    if (!TransferDataFromWindow()) return;
    // A file that cannot be written keeps the dialog open with what was typed.
    if (!Apply()) return;
    EndDialog(wxID_OK);
}

void CSettingDlg::OnBnClickedTest(wxCommandEvent&) {
    if (m_testMailInFlight) return;
    // A failing interval is reported, but the test needs only the texts,
    // which are taken first.
    TransferDataFromWindow();

    // What the dialog does not show (the sender, SMTP_FROM) is tested as the
    // alerts will use it.
    AlertMailSettingsData settings = m_given.mail;
    settings.smtpServer = m_server;
    settings.smtpPort = m_port;
    settings.smtpUser = m_user;
    settings.smtpPassword = m_password;
    settings.smtpMailTo = m_recipients;
    settings.smtpSecurity = m_security;
    settings.smtpTlsVerify = m_tlsVerify;
    OutgoingMail mail = TestMailThrough(settings);
    // Runs on the delivery thread: it only hands the result to the window's
    // thread, where the dialog is looked up again.
    const bool noRecipients = settings.smtpMailTo.empty();
    mail.done = [link = m_testMailLink, noRecipients](const MailOutcome& outcome) {
        const bool sent = outcome.sent();
        std::string error = outcome.errorText;
        if (!sent && error.empty()) error = noRecipients ? "no recipients are set (SMTP_MAILTO)" : "unknown error";
        if (wxTheApp)
            wxTheApp->CallAfter([link, sent, error] {
                if (link->dialog) link->dialog->OnTestMailDone(sent, error);
            });
    };

    m_testMailInFlight = true;
    m_testButton->SetLabel(U8(kTestButtonSending));
    m_testButton->Disable();
    m_delivery.enqueue(std::move(mail));
}

std::string CSettingDlg::testMailFailedMessage(const std::string& error) {
    return std::string(kTestMailFailed) + "\n原因：" + ReasonText::chinese(error);
}

void CSettingDlg::OnTestMailDone(bool sent, const std::string& error) {
    m_testMailInFlight = false;
    m_testButton->SetLabel(U8(kTestButton));
    m_testButton->Enable();
    // Closed meanwhile: nobody is waiting for the answer. The dialog is only
    // ever shown modally, and its modal loop is what ends with it; whether it
    // still counts as shown right after it ended depends on the window
    // manager.
    if (!IsModal()) return;
    wxMessageBox(U8(sent ? std::string(kTestMailSent) : testMailFailedMessage(error)), ApplicationCaption(),
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
