#include "ui/CWebhookDlg.h"
#include "ui/UiText.h"

#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/msgdlg.h>

#include "ui/ApplicationCaption.h"
#include "ui/DialogTemplate.h"
#include "ui/model/WebhookForm.h"

CWebhookDlg::CWebhookDlg(wxWindow* parent, bool adding)
    : wxDialog(parent, wxID_ANY, U8(adding ? "添加Webhook通道" : "修改Webhook通道"), wxDefaultPosition,
               wxDefaultSize, wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX) {
    DialogTemplate layout(this, 300, 196);
    layout.groupBox(wxID_ANY, "Webhook通道", 7, 7, 286, 160);
    layout.label(wxID_ANY, "名称：", 40, 23, 25, 8);
    m_nameEdit = layout.edit(kWebhookNameEditId, 68, 20, 215, 14);
    layout.label(wxID_ANY, "地址：", 40, 42, 25, 8);
    m_urlEdit = layout.edit(kWebhookUrlEditId, 68, 39, 215, 14);
    layout.label(wxID_ANY, "类型：", 40, 61, 25, 8);
    wxArrayString kinds;
    for (WebhookKind kind : WebhookKindsListed()) kinds.Add(U8(WebhookKindName(kind)));
    const wxRect kindRect = layout.rect(68, 58, 80, 14);
    m_kindChoice = new wxChoice(this, kWebhookKindChoiceId, kindRect.GetPosition(), kindRect.GetSize(), kinds);
    layout.label(wxID_ANY, "密钥：", 40, 80, 25, 8);
    m_secretEdit = layout.edit(kWebhookSecretEditId, 68, 77, 215, 14, wxTE_PASSWORD);
    layout.label(wxID_ANY, "事件：", 40, 99, 25, 8);
    m_eventsEdit = layout.edit(kWebhookEventsEditId, 68, 96, 215, 14);
    layout.label(wxID_ANY, "（留空为全部事件，多个用逗号分隔）", 68, 112, 215, 8);
    layout.label(wxID_ANY, "最小间隔(秒)：", 12, 127, 53, 8);
    m_minIntervalEdit = layout.edit(kWebhookMinIntervalEditId, 68, 124, 60, 14);
    layout.label(wxID_ANY, "超时(秒)：", 150, 127, 40, 8);
    m_timeoutEdit = layout.edit(kWebhookTimeoutEditId, 193, 124, 60, 14);
    const wxRect checkRect = layout.rect(68, 146, 215, 12);
    m_textCheck = new wxCheckBox(this, kWebhookTextCheckId, U8("纯文本消息（企业微信）"), checkRect.GetPosition(),
                                 checkRect.GetSize());
    layout.button(wxID_OK, "确定", 96, 175, 50, 14)->SetDefault();
    layout.button(wxID_CANCEL, "取消", 152, 175, 50, 14);
    Bind(wxEVT_BUTTON, &CWebhookDlg::OnBnClickedOk, this, wxID_OK);
}

bool CWebhookDlg::TransferDataToWindow() {
    const WebhookTexts texts = ShowWebhook(m_channel);
    m_nameEdit->ChangeValue(U8(texts.name));
    m_urlEdit->ChangeValue(U8(texts.url));
    m_kindChoice->SetStringSelection(U8(texts.kind));
    m_secretEdit->ChangeValue(U8(texts.secret));
    m_eventsEdit->ChangeValue(U8(texts.events));
    m_minIntervalEdit->ChangeValue(U8(texts.minInterval));
    m_textCheck->SetValue(texts.text);
    m_timeoutEdit->ChangeValue(U8(texts.timeout));
    return true;
}

void CWebhookDlg::OnBnClickedOk(wxCommandEvent&) {
    if (TakeFields()) EndDialog(wxID_OK);
}

bool CWebhookDlg::TakeFields() {
    WebhookTexts typed;
    typed.name = ToU8(m_nameEdit->GetValue());
    typed.url = ToU8(m_urlEdit->GetValue());
    typed.kind = ToU8(m_kindChoice->GetStringSelection());
    typed.secret = ToU8(m_secretEdit->GetValue());
    typed.events = ToU8(m_eventsEdit->GetValue());
    typed.minInterval = ToU8(m_minIntervalEdit->GetValue());
    typed.text = m_textCheck->GetValue();
    typed.timeout = ToU8(m_timeoutEdit->GetValue());
    const WebhookCheck check = TakeWebhook(typed, m_otherNames);
    if (!check.accepted()) {
        wxMessageBox(U8(check.message), ApplicationCaption(), wxOK | wxICON_EXCLAMATION, this);
        if (wxWindow* field = FindWindow(check.field)) field->SetFocus();
        return false;
    }
    // The dialog has no field for the post budget: the channel keeps its own.
    const std::int32_t ratePerMinute = m_channel.ratePerMinute;
    m_channel = check.channel;
    m_channel.ratePerMinute = ratePerMinute;
    return true;
}
