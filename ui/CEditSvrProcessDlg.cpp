#include "ui/CEditSvrProcessDlg.h"

#include <wx/msgdlg.h>

#include "ui/ApplicationCaption.h"
#include "ui/DialogTemplate.h"
#include "ui/model/AddServerForm.h"

CEditSvrProcessDlg::CEditSvrProcessDlg(wxWindow* parent)
    : wxDialog(parent, wxID_ANY, U8("修改监控对象"), wxDefaultPosition, wxDefaultSize,
               wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX) {
    DialogTemplate layout(this, 375, 121);
    layout.groupBox(wxID_ANY, "监控对象信息", 7, 7, 361, 82);
    layout.label(wxID_ANY, "名称：", 25, 24, 25, 8);
    layout.label(wxID_ANY, "文件名：", 17, 46, 33, 8);
    layout.label(wxID_ANY, "命令行：", 17, 66, 33, 8);
    m_nameEdit = layout.edit(kNameEditId, 54, 21, 305, 14);
    m_fileNameEdit = layout.edit(kFileNameEditId, 54, 42, 305, 14);
    m_commandLineEdit = layout.edit(kCommandLineEditId, 54, 63, 305, 14);
    layout.button(wxID_OK, "确定", 135, 100, 50, 14)->SetDefault();
    layout.button(wxID_CANCEL, "取消", 189, 100, 50, 14);
    Bind(wxEVT_BUTTON, &CEditSvrProcessDlg::OnBnClickedOk, this, wxID_OK);
}

bool CEditSvrProcessDlg::TransferDataToWindow() {
    m_nameEdit->ChangeValue(U8(m_name));
    m_fileNameEdit->ChangeValue(U8(m_fileName));
    m_commandLineEdit->ChangeValue(U8(m_commandLine));
    return true;
}

bool CEditSvrProcessDlg::TransferDataFromWindow() {
    m_name = ToU8(m_nameEdit->GetValue());
    m_fileName = ToU8(m_fileNameEdit->GetValue());
    m_commandLine = ToU8(m_commandLineEdit->GetValue());
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
    TransferDataFromWindow();
    EndDialog(wxID_OK);
}
