#pragma once
#include <vector>

#include <wx/dialog.h>

#include "config/ListBackups.h"

class wxListCtrl;
class wxListEvent;

// "恢复服务器列表": the kept copies of serverinfo.json, newest first, each
// with its number, the time it was made and how many servers it holds. The
// operator picks one and presses "恢复" (or Enter, or a double click on it):
// the dialog ends with wxID_OK and chosen() is its number. "取消", Escape
// and the close box end it with wxID_CANCEL. With no copies the list says
// so and "恢复" stays disabled.
class CRestoreListDlg : public wxDialog {
public:
    static constexpr int kListId = 1040;

    CRestoreListDlg(wxWindow* parent, std::vector<ListBackups::Generation> generations);

    // The number of the copy chosen; 0 while none is.
    int chosen() const;
    // Chooses the copy in this place of the list (0 the newest).
    void select(long item);
    wxListCtrl* list() { return m_list; }

private:
    void OnActivated(wxListEvent& event);
    void UpdateButton();

    std::vector<ListBackups::Generation> m_generations;
    wxListCtrl* m_list = nullptr;
};
