#include "ui/CEditSvrProcessDlg.h"

#include <wx/choice.h>
#include <wx/msgdlg.h>

#include "ui/ApplicationCaption.h"
#include "ui/DialogTemplate.h"
#include "ui/model/AddServerForm.h"

CEditSvrProcessDlg::CEditSvrProcessDlg(wxWindow* parent)
    : wxDialog(parent, wxID_ANY, U8("修改监控对象"), wxDefaultPosition, wxDefaultSize,
               wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX) {
    DialogTemplate layout(this, 375, 205);
    layout.groupBox(wxID_ANY, "监控对象信息", 7, 7, 361, 82);
    layout.label(wxID_ANY, "名称：", 25, 24, 25, 8);
    layout.label(wxID_ANY, "文件名：", 17, 46, 33, 8);
    layout.label(wxID_ANY, "命令行：", 17, 66, 33, 8);
    m_nameEdit = layout.edit(kNameEditId, 54, 21, 305, 14);
    m_fileNameEdit = layout.edit(kFileNameEditId, 54, 42, 305, 14);
    m_commandLineEdit = layout.edit(kCommandLineEditId, 54, 63, 305, 14);
    layout.groupBox(wxID_ANY, "健康检查", 7, 93, 361, 91);
    layout.label(wxID_ANY, "方式：", 25, 110, 25, 8);
    wxArrayString kinds;
    for (const char* kind : {"无", "TCP", "HTTP"}) kinds.Add(U8(kind));
    const wxRect kindRect = layout.rect(54, 107, 80, 14);
    m_healthKindChoice =
        new wxChoice(this, kHealthKindChoiceId, kindRect.GetPosition(), kindRect.GetSize(), kinds);
    layout.label(wxID_ANY, "检查地址：", 9, 129, 41, 8);
    m_healthTargetEdit = layout.edit(kHealthTargetEditId, 54, 126, 305, 14);
    layout.label(wxID_ANY, "间隔(秒)：", 11, 148, 39, 8);
    m_healthIntervalEdit = layout.edit(kHealthIntervalEditId, 54, 145, 80, 14);
    layout.label(wxID_ANY, "连续失败次数：", 160, 148, 57, 8);
    m_healthFailuresEdit = layout.edit(kHealthFailuresEditId, 220, 145, 80, 14);
    m_healthNote = layout.label(kHealthNoteLabelId, "", 17, 164, 342, 16);
    layout.button(wxID_OK, "确定", 135, 189, 50, 14)->SetDefault();
    layout.button(wxID_CANCEL, "取消", 189, 189, 50, 14);
    Bind(wxEVT_BUTTON, &CEditSvrProcessDlg::OnBnClickedOk, this, wxID_OK);
    Bind(wxEVT_CHOICE, &CEditSvrProcessDlg::OnHealthKindChanged, this, kHealthKindChoiceId);
}

bool CEditSvrProcessDlg::TransferDataToWindow() {
    m_nameEdit->ChangeValue(U8(m_name));
    m_fileNameEdit->ChangeValue(U8(m_fileName));
    m_commandLineEdit->ChangeValue(U8(m_commandLine));
    m_healthShown = ShowHealthRule(m_health);
    m_healthKindChoice->SetSelection(static_cast<int>(m_healthShown.texts.kind));
    m_healthTargetEdit->ChangeValue(U8(m_healthShown.texts.target));
    m_healthIntervalEdit->ChangeValue(U8(m_healthShown.texts.interval));
    m_healthFailuresEdit->ChangeValue(U8(m_healthShown.texts.failures));
    m_healthNote->SetLabel(U8(m_healthShown.note));
    EnableHealthFields();
    return true;
}

HealthFormTexts CEditSvrProcessDlg::HealthTexts() const {
    HealthFormTexts texts;
    switch (m_healthKindChoice->GetSelection()) {
        case 1:
            texts.kind = HealthFormKind::tcp;
            break;
        case 2:
            texts.kind = HealthFormKind::http;
            break;
        default:
            texts.kind = HealthFormKind::none;
            break;
    }
    texts.target = ToU8(m_healthTargetEdit->GetValue());
    texts.interval = ToU8(m_healthIntervalEdit->GetValue());
    texts.failures = ToU8(m_healthFailuresEdit->GetValue());
    return texts;
}

void CEditSvrProcessDlg::EnableHealthFields() {
    const bool editable = m_healthShown.editable;
    const bool probe = m_healthKindChoice->GetSelection() > 0;
    m_healthKindChoice->Enable(editable);
    for (wxTextCtrl* field : {m_healthTargetEdit, m_healthIntervalEdit, m_healthFailuresEdit})
        field->Enable(editable && probe);
}

void CEditSvrProcessDlg::OnHealthKindChanged(wxCommandEvent&) { EnableHealthFields(); }

bool CEditSvrProcessDlg::TransferDataFromWindow() {
    m_name = ToU8(m_nameEdit->GetValue());
    m_fileName = ToU8(m_fileNameEdit->GetValue());
    m_commandLine = ToU8(m_commandLineEdit->GetValue());
    m_healthEdit = TakeHealthRule(HealthTexts(), m_healthShown, m_health).edit;
    return true;
}

int CEditSvrProcessDlg::fieldFor(int stripFieldId) {
    switch (stripFieldId) {
        case kAddNameEditId:
            return kNameEditId;
        case kAddFileNameEditId:
            return kFileNameEditId;
        default:
            return kCommandLineEditId;
    }
}

void CEditSvrProcessDlg::OnBnClickedOk(wxCommandEvent&) {
    if (m_check) {
        const Refusal refusal = m_check(ToU8(m_nameEdit->GetValue()), ToU8(m_fileNameEdit->GetValue()),
                                        ToU8(m_commandLineEdit->GetValue()));
        if (!refusal.message.empty()) {
            // The members keep what the opener set until the texts pass.
            wxMessageBox(U8(refusal.message), ApplicationCaption(), wxOK, this);
            if (wxWindow* field = FindWindow(fieldFor(refusal.stripFieldId))) field->SetFocus();
            return;
        }
    }
    if (const HealthFormCheck health = TakeHealthRule(HealthTexts(), m_healthShown, m_health); !health.accepted()) {
        wxMessageBox(U8(health.message), ApplicationCaption(), wxOK, this);
        if (auto* field = dynamic_cast<wxTextCtrl*>(FindWindow(health.field))) {
            field->SetFocus();
            field->SelectAll();
        }
        return;
    }
    TransferDataFromWindow();
    EndDialog(wxID_OK);
}
