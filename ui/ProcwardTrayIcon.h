#pragma once
#include <memory>
#include <string>

#include <wx/menu.h>
#include <wx/taskbar.h>

#include "ui/model/TrayState.h"

class CProcwardDlg;

// The icon in the notification area. It passes the mouse to the main window
// and carries out the commands of its menu; its picture and tooltip tell how
// many servers run and whether one that should run is down.
class ProcwardTrayIcon : public wxTaskBarIcon {
public:
    explicit ProcwardTrayIcon(CProcwardDlg* dialog);

    // Commands of the menu: "显示主窗口", "设置", "关于 Procward" and "退出"
    // (the main window's cancel command).
    static const int kShowCommand;
    static const int kSettingsCommand;
    static const int kAboutCommand;
    static const int kQuitCommand;
    // The menu a right click opens.
    static std::unique_ptr<wxMenu> CreateTrayMenu();

    // Shows the picture and tooltip of `state`; the toolkit is asked only
    // when they change. False when the toolkit refused the icon.
    bool ShowState(const TrayState& state);
    // What the icon shows now.
    const std::string& tooltip() const { return m_tooltip; }
    bool showsAlarm() const { return m_alarm; }

private:
    void OnLeftUp(wxTaskBarIconEvent& event);
    void OnLeftDoubleClick(wxTaskBarIconEvent& event);
    void OnMenuClick(wxTaskBarIconEvent& event);
    void OnMenu(wxCommandEvent& event);

    CProcwardDlg* dialog_;
    bool m_shown = false;
    std::string m_tooltip;
    bool m_alarm = false;
};
