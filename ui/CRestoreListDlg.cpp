#include "ui/CRestoreListDlg.h"

#include <wx/button.h>
#include <wx/listctrl.h>
#include <wx/sizer.h>
#include <wx/stattext.h>

#include "ui/UiText.h"

CRestoreListDlg::CRestoreListDlg(wxWindow* parent, std::vector<ListBackups::Generation> generations)
    : wxDialog(parent, wxID_ANY, U8("恢复服务器列表"), wxDefaultPosition, wxDefaultSize,
               wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER),
      m_generations(std::move(generations)) {
    auto* sizer = new wxBoxSizer(wxVERTICAL);
    sizer->Add(new wxStaticText(this, wxID_STATIC,
                                U8(m_generations.empty() ? "还没有保存过服务器列表的副本（每次修改列表前保存一份）。"
                                                         : "选择一份副本，恢复后当前列表也会保存为一份副本：")),
               0, wxALL, FromDIP(10));
    m_list = new wxListCtrl(this, kListId, wxDefaultPosition, FromDIP(wxSize(420, 300)), wxLC_REPORT | wxLC_SINGLE_SEL);
    m_list->AppendColumn(U8("编号"), wxLIST_FORMAT_RIGHT, FromDIP(60));
    m_list->AppendColumn(U8("时间"), wxLIST_FORMAT_LEFT, FromDIP(200));
    m_list->AppendColumn(U8("服务器数"), wxLIST_FORMAT_RIGHT, FromDIP(120));
    for (std::size_t i = 0; i < m_generations.size(); ++i) {
        const ListBackups::Generation& generation = m_generations[i];
        const long item = m_list->InsertItem(static_cast<long>(i), U8(std::to_string(generation.number)));
        m_list->SetItem(item, 1, U8(ListBackups::localTimeText(generation.made)));
        m_list->SetItem(item, 2, generation.servers < 0 ? U8("无法读取") : U8(std::to_string(generation.servers)));
    }
    sizer->Add(m_list, 1, wxEXPAND | wxLEFT | wxRIGHT, FromDIP(10));
    auto* buttons = new wxStdDialogButtonSizer();
    auto* restore = new wxButton(this, wxID_OK, U8("恢复"));
    buttons->AddButton(restore);
    buttons->AddButton(new wxButton(this, wxID_CANCEL, U8("取消")));
    buttons->Realize();
    sizer->Add(buttons, 0, wxEXPAND | wxALL, FromDIP(10));
    SetSizerAndFit(sizer);
    restore->SetDefault();
    // A copy that does not read as a list cannot be brought back.
    m_list->Bind(wxEVT_LIST_ITEM_SELECTED, [this](wxListEvent&) { UpdateButton(); });
    m_list->Bind(wxEVT_LIST_ITEM_DESELECTED, [this](wxListEvent&) { UpdateButton(); });
    m_list->Bind(wxEVT_LIST_ITEM_ACTIVATED, &CRestoreListDlg::OnActivated, this);
    if (!m_generations.empty()) select(0);
    UpdateButton();
    m_list->SetFocus();
    CentreOnParent();
}

int CRestoreListDlg::chosen() const {
    const long item = m_list->GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED);
    if (item < 0 || static_cast<std::size_t>(item) >= m_generations.size()) return 0;
    const ListBackups::Generation& generation = m_generations[static_cast<std::size_t>(item)];
    return generation.servers < 0 ? 0 : generation.number;
}

void CRestoreListDlg::select(long item) {
    m_list->SetItemState(item, wxLIST_STATE_SELECTED | wxLIST_STATE_FOCUSED,
                         wxLIST_STATE_SELECTED | wxLIST_STATE_FOCUSED);
    m_list->EnsureVisible(item);
    UpdateButton();
}

void CRestoreListDlg::UpdateButton() {
    if (wxWindow* restore = FindWindow(wxID_OK)) restore->Enable(chosen() > 0);
}

void CRestoreListDlg::OnActivated(wxListEvent&) {
    if (chosen() > 0) EndModal(wxID_OK);
}
