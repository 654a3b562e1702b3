#include "ui/CRecentEventsDlg.h"

#include <wx/button.h>
#include <wx/listctrl.h>
#include <wx/sizer.h>

#include "ui/UiText.h"

CRecentEventsDlg::CRecentEventsDlg(wxWindow* parent, const RecentEvents& events)
    : wxDialog(parent, wxID_ANY, U8("最近事件"), wxDefaultPosition, wxDefaultSize,
               wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER) {
    auto* sizer = new wxBoxSizer(wxVERTICAL);
    m_list = new wxListCtrl(this, kListId, wxDefaultPosition, FromDIP(wxSize(720, 360)), wxLC_REPORT | wxLC_SINGLE_SEL);
    m_list->AppendColumn(U8("时间"), wxLIST_FORMAT_LEFT, FromDIP(150));
    m_list->AppendColumn(U8("服务器"), wxLIST_FORMAT_LEFT, FromDIP(140));
    m_list->AppendColumn(U8("事件"), wxLIST_FORMAT_LEFT, FromDIP(410));
    sizer->Add(m_list, 1, wxEXPAND | wxLEFT | wxRIGHT | wxTOP, FromDIP(10));
    auto* close = new wxButton(this, wxID_CANCEL, U8("关闭"));
    sizer->Add(close, 0, wxALIGN_RIGHT | wxALL, FromDIP(10));
    SetSizerAndFit(sizer);
    SetEscapeId(wxID_CANCEL);
    close->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { Close(); });
    Bind(wxEVT_CLOSE_WINDOW, [this](wxCloseEvent&) {
        m_closed = true;
        Destroy();
    });
    // Escape closes this window wherever its focus is, and goes no further
    // (not to the main window, where it would end the program).
    Bind(wxEVT_CHAR_HOOK, [this](wxKeyEvent& event) {
        if (event.GetKeyCode() == WXK_ESCAPE) {
            Close();
            return;
        }
        event.Skip();
    });
    ShowEvents(events);
    CentreOnParent();
}

void CRecentEventsDlg::ShowEvents(const RecentEvents& events) {
    // At most a few hundred lines: written afresh, the newest on top; a view
    // scrolled down to older lines stays scrolled down.
    const long top = m_list->GetTopItem();
    m_list->Freeze();
    m_list->DeleteAllItems();
    long item = 0;
    for (const RecentEvents::Entry& entry : events.entries()) {
        m_list->InsertItem(item, U8(RecentEvents::timeText(entry.time)));
        m_list->SetItem(item, 1, U8(entry.server.empty() ? std::string("Procward") : entry.server));
        m_list->SetItem(item, 2, U8(entry.what));
        ++item;
    }
    m_list->Thaw();
    if (top > 0 && top < item) m_list->EnsureVisible(top);
}

std::string CRecentEventsDlg::cell(long item, int column) const { return ToU8(m_list->GetItemText(item, column)); }
