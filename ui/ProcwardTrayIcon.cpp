#include "ui/ProcwardTrayIcon.h"

#include "ui/CProcwardDlg.h"

const int ProcwardTrayIcon::kQuitCommand = wxID_CANCEL;

ProcwardTrayIcon::ProcwardTrayIcon(CProcwardDlg* dialog) : dialog_(dialog) {
    Bind(wxEVT_TASKBAR_LEFT_UP, &ProcwardTrayIcon::OnLeftUp, this);
    Bind(wxEVT_TASKBAR_LEFT_DCLICK, &ProcwardTrayIcon::OnLeftDoubleClick, this);
    Bind(wxEVT_TASKBAR_RIGHT_UP, &ProcwardTrayIcon::OnRightUp, this);
    Bind(wxEVT_MENU, &ProcwardTrayIcon::OnQuit, this, kQuitCommand);
}

void ProcwardTrayIcon::OnLeftUp(wxTaskBarIconEvent&) {
    dialog_->OnTrayNotify(CProcwardDlg::kTrayIconId, CProcwardDlg::kLeftButtonUp);
}

void ProcwardTrayIcon::OnLeftDoubleClick(wxTaskBarIconEvent&) {
    dialog_->OnTrayNotify(CProcwardDlg::kTrayIconId, CProcwardDlg::kLeftButtonDoubleClick);
}

void ProcwardTrayIcon::OnRightUp(wxTaskBarIconEvent&) {
    dialog_->OnTrayNotify(CProcwardDlg::kTrayIconId, CProcwardDlg::kRightButtonUp);
}

void ProcwardTrayIcon::OnQuit(wxCommandEvent&) { dialog_->EndWithCommand(kQuitCommand); }
