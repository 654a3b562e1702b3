#include "ui/ProcwardTrayIcon.h"

#include "ui/AppIcon.h"
#include "ui/CProcwardDlg.h"
#include "ui/DialogTemplate.h"

const int ProcwardTrayIcon::kShowCommand = wxID_HIGHEST + 1;
const int ProcwardTrayIcon::kSettingsCommand = CProcwardDlg::IDM_SETTINGS;
const int ProcwardTrayIcon::kAboutCommand = CProcwardDlg::IDM_ABOUTBOX;
const int ProcwardTrayIcon::kQuitCommand = wxID_CANCEL;

ProcwardTrayIcon::ProcwardTrayIcon(CProcwardDlg* dialog) : dialog_(dialog) {
    Bind(wxEVT_TASKBAR_LEFT_UP, &ProcwardTrayIcon::OnLeftUp, this);
    Bind(wxEVT_TASKBAR_LEFT_DCLICK, &ProcwardTrayIcon::OnLeftDoubleClick, this);
    // The toolkit's menu click: the right button's release on some desktops,
    // its press on others (GTK reports no release for tray icons).
    Bind(wxEVT_TASKBAR_CLICK, &ProcwardTrayIcon::OnMenuClick, this);
    for (int id : {kShowCommand, kSettingsCommand, kAboutCommand, kQuitCommand})
        Bind(wxEVT_MENU, &ProcwardTrayIcon::OnMenu, this, id);
}

std::unique_ptr<wxMenu> ProcwardTrayIcon::CreateTrayMenu() {
    auto menu = std::make_unique<wxMenu>();
    menu->Append(kShowCommand, U8("显示主窗口"));
    menu->Append(kSettingsCommand, U8("设置"));
    menu->Append(kAboutCommand, U8("关于 Procward"));
    menu->AppendSeparator();
    menu->Append(kQuitCommand, U8("退出"));
    return menu;
}

bool ProcwardTrayIcon::ShowState(const TrayState& state) {
    const std::string tooltip = state.tooltip();
    if (m_shown && tooltip == m_tooltip && state.alarm == m_alarm) return true;
    const wxIconBundle pictures = ProcwardIcons(state.alarm ? IconPicture::Alarm : IconPicture::Normal);
    if (!SetIcon(pictures.GetIcon(wxSize(32, 32), wxIconBundle::FALLBACK_NEAREST_LARGER), U8(tooltip))) return false;
    m_shown = true;
    m_tooltip = tooltip;
    m_alarm = state.alarm;
    return true;
}

void ProcwardTrayIcon::OnLeftUp(wxTaskBarIconEvent&) {
    dialog_->OnTrayNotify(CProcwardDlg::kTrayIconId, CProcwardDlg::kLeftButtonUp);
}

void ProcwardTrayIcon::OnLeftDoubleClick(wxTaskBarIconEvent&) {
    dialog_->OnTrayNotify(CProcwardDlg::kTrayIconId, CProcwardDlg::kLeftButtonDoubleClick);
}

void ProcwardTrayIcon::OnMenuClick(wxTaskBarIconEvent&) {
    dialog_->OnTrayNotify(CProcwardDlg::kTrayIconId, CProcwardDlg::kRightButtonUp);
}

void ProcwardTrayIcon::OnMenu(wxCommandEvent& event) {
    const int id = event.GetId();
    if (id == kShowCommand)
        dialog_->OnTrayNotify(CProcwardDlg::kTrayIconId, CProcwardDlg::kLeftButtonUp);
    else if (id == kQuitCommand)
        dialog_->RequestEnd("tray menu");
    else
        dialog_->OnSysCommand(id);
}
