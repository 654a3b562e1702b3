#pragma once
#include <wx/taskbar.h>

class CProcwardDlg;

// The icon in the notification area; it passes the mouse to the main window.
class ProcwardTrayIcon : public wxTaskBarIcon {
public:
    explicit ProcwardTrayIcon(CProcwardDlg* dialog);

    // Command of the menu item "退出": the main window's cancel command.
    static const int kQuitCommand;

private:
    void OnLeftUp(wxTaskBarIconEvent& event);
    void OnLeftDoubleClick(wxTaskBarIconEvent& event);
    void OnRightUp(wxTaskBarIconEvent& event);
    void OnQuit(wxCommandEvent& event);

    CProcwardDlg* dialog_;
};
