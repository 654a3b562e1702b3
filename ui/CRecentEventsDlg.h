#pragma once
#include <wx/dialog.h>

#include "ui/model/RecentEvents.h"

class wxListCtrl;

// "最近事件": what happened to the servers lately, newest first, one line
// each with its time, the server and what happened. It is modeless and
// follows the events while it is open; "关闭", Escape and the close box
// close it, and it destroys itself then.
class CRecentEventsDlg : public wxDialog {
public:
    static constexpr int kListId = 1041;

    CRecentEventsDlg(wxWindow* parent, const RecentEvents& events);

    // Shows the events as they are now.
    void ShowEvents(const RecentEvents& events);
    wxListCtrl* list() { return m_list; }
    // The text of a cell (column 0 time, 1 server, 2 what).
    std::string cell(long item, int column) const;
    bool closed() const { return m_closed; }

private:
    wxListCtrl* m_list = nullptr;
    bool m_closed = false;
};
