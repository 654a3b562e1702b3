#pragma once
#include <cstdint>
#include <memory>

#include <wx/button.h>
#include <wx/dialog.h>
#include <wx/iconbndl.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/timer.h>
#include <wx/weakref.h>

#include <map>

#include "supervision/AlertSink.h"
#include "supervision/Supervisor.h"
#include "ui/model/AddServerForm.h"
#include "ui/model/RecentEvents.h"
#include "ui/model/RowStatus.h"
#include "ui/model/UsageMeter.h"

class FileChooser;
class MailDelivery;
class ProcwardTrayIcon;
class RowArea;
class Runtime;
class ServerOutputDlg;
class ServerRow;
class wxMenu;
class wxGUIEventLoop;

// The main window: the strip for adding a server, one row per monitored
// server, the global buttons. It hosts the Runtime (the supervisor, ctl,
// the alerts) on its thread: its timer and its wake-ups drive it. The
// window keeps a row per record, written from the record's cells whenever
// the supervisor says that the record changed, and turns its buttons into
// the supervisor's commands. It is a top-level window with its own event
// loop rather than a modal dialog: closing it only hides it, and on some
// toolkits hiding a modal dialog ends its modal loop.
class CRecentEventsDlg;

class CProcwardDlg : public wxDialog, public SupervisorObserver, public AlertSink {
public:
    // Control IDs of the main window's template.
    enum : int {
        IDC_STOP_ALL = 1000,
        IDC_START_ALL = 1001,
        IDC_DELETE_ALL = 1002,
        IDC_ADD = 1003,
        IDC_NAME = 1004,
        IDC_PROCESS_NAME = 1005,
        IDC_COMMAND_LINE = 1006,
        IDC_ADD_GROUP = 1007,
        IDC_LOAD_ALL = 1008,
        IDC_OPEN_ALL = 1009,
        IDC_BROWSE = 1010,
        IDC_UPDATE_TIME = 1011,
        IDC_RESTORE = 1012,
        IDC_EVENTS = 1013,
    };
    // Commands of the window menu.
    static constexpr int IDM_ABOUTBOX = 0x0010;
    static constexpr int IDM_SETTINGS = 0x0020;
    // The command of a row's context menu: "查看输出".
    static constexpr int IDM_VIEW_OUTPUT = 0x0030;
    // "重启": stop the row's server and start it again at once.
    static constexpr int IDM_RESTART = 0x0040;
    // The status timer.
    static constexpr int kStatusTimerId = 1;
    // The timer of the countdowns of stops under way.
    static constexpr int kCountdownTimerId = 2;
    // The tray icon and the mouse messages it reports.
    static constexpr unsigned kTrayIconId = 128;
    static constexpr unsigned kLeftButtonUp = 0x0202, kLeftButtonDoubleClick = 0x0203, kRightButtonUp = 0x0205;

    CProcwardDlg();
    ~CProcwardDlg() override;

    // Runs once, before the window is first shown: icons, tray icon, the
    // runtime (settings, supervisor, ctl), auto-run entry, row font, header,
    // the server list with a row per server, timer.
    bool OnInitDialog();
    // Shows the window and dispatches events until EndWithCommand, then
    // ends the runtime (ctl answered, mails given their grace); returns the
    // command that ended it. Hiding the window does not end it.
    int Run();
    // Reads serverinfo.json again and shows what it holds.
    void ReloadServers();
    // One status check of every server, in index order.
    void CheckAllServers();
    // Does what the runtime has due and sets the timer for what comes next.
    void RunSupervisor();

    // What the tray icon reports; returns 1 for another icon, else 0.
    int OnTrayNotify(unsigned iconId, unsigned mouseMessage);
    // Commands of the window menu ("设置", about).
    void OnSysCommand(int command);
    // Ends the dialog with a command (the tray's "退出", Escape): the window
    // hides and Run returns. `how` ends the log: "Procward exiting: " + how.
    void EndWithCommand(int command, const std::string& how);
    // The operator's way out (Escape, the tray's "退出"): asks first, since
    // supervision ends with it, then ends as EndWithCommand does.
    void RequestEnd(const std::string& how);
    // Asks a yes/no question before something that cannot be undone; true
    // for yes, and at once when CONFIRM_DANGEROUS is 0.
    bool Confirm(const std::string& question);
    static const char* const kQuitQuestion;
    static const char* const kDeleteAllQuestion;
    // The question before deleting the server `name`.
    static std::string deleteQuestion(const std::string& name);
    // The questions of "全部结束", "全部加载" and "全部打开", with how many
    // servers (scripts, folders) they touch.
    static std::string stopAllQuestion(std::size_t servers);
    static std::string loadAllQuestion(std::size_t scripts);
    static std::string openAllQuestion(std::size_t servers, std::size_t folders);
    // SIGTERM and SIGINT end the window as Escape does, SIGHUP reloads the
    // files; for the program itself (a test in the same process keeps the
    // signals' defaults).
    void WatchStopRequests();
    bool hasEnded() const { return m_ended; }
    // The tray icon's picture and tooltip follow the records.
    void UpdateTray();

    void serverChanged(const MonitoredServer& server) override;
    // After each check pass: the rows' running clocks and the tray.
    void passEnded() override;
    // A row per record, the window fitted to them; the keyboard focus stays
    // in the window.
    void listLoaded() override;

    // The supervisor's events, kept for "最近事件".
    void alert(const AlertEvent& event) override;
    const RecentEvents& recentEvents() const { return m_events; }
    // "最近事件": the list of the last events, opened (or raised).
    CRecentEventsDlg* ShowRecentEvents();
    void OnRecentEvents();
    // The open list of events; nullptr when there is none.
    CRecentEventsDlg* eventsView();

    // Row commands, by the index of the server.
    void ToggleServer(std::int32_t index);
    void DeleteServer(std::int32_t index);
    void EditServer(std::int32_t index);
    void RunReloadBatch(std::int32_t index);
    void OpenServerPath(std::int32_t index);
    // Stops the server and starts it again as soon as its process has gone
    // (its auto-start stays or comes on). No question: nothing is lost.
    void RestartServer(std::int32_t index);
    // The server's output view, opened (or raised when it is open already).
    ServerOutputDlg* ShowServerOutput(std::int32_t index);
    // The open output view of the server; nullptr when there is none.
    ServerOutputDlg* outputView(std::int32_t index);
    // The context menu of a row; its command goes to that row.
    std::unique_ptr<wxMenu> RowMenu(std::int32_t index);
    // The row whose control or place in the row area this is; -1 for none.
    std::int32_t RowAt(wxWindow* control, const wxPoint& screenPoint);
    // Global commands.
    void OnStartAll();
    void OnStopAll();
    void OnDeleteAll();
    void OnLoadAll();
    void OnOpenAll();
    void OnAdd();
    void OnBrowse();
    void OnCommandLineChange();
    void OnUpdateTime();
    // "恢复": a kept copy of the list, chosen in a dialog, brought back.
    void OnRestore();
    static std::string restoreQuestion(const std::string& time, int servers, int now);

    // The filter of the browse dialog.
    static const char* const kBrowseFilter;
    // Replaces the file-open dialog (nullptr restores the toolkit's own).
    void setFileChooser(FileChooser* chooser) { m_fileChooser = chooser; }

    Runtime& runtime() { return *m_runtime; }
    Supervisor& supervisor();
    ServerRow* row(std::int32_t index);
    // The check interval of the settings (a new one counts from the next start).
    std::int32_t checkInterval() const;
    wxTimer& statusTimer() { return m_timer; }
    ProcwardTrayIcon* trayIcon() { return m_tray.get(); }
    // True while the desktop has a notification area to bring the window back
    // from: only then does closing hide the window.
    bool trayAvailable() const;
    // The size the last fitting gave the window, frame included.
    wxSize fittedSize() const { return m_fittedSize; }
    // The scrolling area that holds the rows.
    RowArea* rowArea() { return m_rowArea; }
    // The strip of column headers (where the focus goes when the control
    // that had it is gone).
    wxWindow* headerStrip() { return m_headerStrip; }
    // The column headers, left to right.
    const std::vector<wxStaticText*>& columnHeaders() const { return m_headers; }
    // The work areas of the screens, the primary one first.
    static std::vector<wxRect> workAreas();

private:
    // The reload scripts "全部加载" runs: those that exist, in index order.
    struct ReloadScript {
        std::string path, directory;
    };
    std::vector<ReloadScript> ReloadScripts();
    void CreateTemplateControls();
    void CreateColumnHeaders(wxWindow* parent);
    // The window's size after a change of the rows: the template's height
    // for them, within the screen; at the first load, where it opens.
    void ApplyLayout();
    // Everything in its place for the window's present client size.
    void ArrangeControls();
    // The column headers follow the rows' horizontal scrolling.
    void ScrollHeaders(int across);
    // Keeps the window's place and size in procward.ini for the next start.
    void RememberPlace();
    // Once the desktop has framed the shown window: the fitted size again
    // (the frame was not known at the first fitting), centred.
    void FitFirstShow();
    bool AtOpeningPlace() const;
    // Puts the focus back into the window when the control that had it is
    // gone, so that Escape and Enter keep working.
    void RestoreFocus();
    // Gives the focus back to `button` after a command disabled it for a
    // while, when it had it.
    static void KeepFocus(wxWindow* button, bool hadFocus);
    // The control that last had the keyboard in this window.
    wxWeakRef<wxWindow> m_lastFocus;
    void ShowWindowMenu(const wxPoint& where);

    void OnCommand(wxCommandEvent& event);
    void OnTimer(wxTimerEvent& event);
    // Message box owned by the window, with an OK button.
    void ShowMessage(const std::string& text, const std::string& caption);
    // What ends a change of the list: a list that could not be written is
    // shown in a box.
    CommandDone ListChanged();
    void ArmTimer();
    void OnClose(wxCloseEvent& event);
    void OnShow(wxShowEvent& event);
    void OnSize(wxSizeEvent& event);
    void OnCharHook(wxKeyEvent& event);
    void OnContextMenu(wxContextMenuEvent& event);
    void OnMenu(wxCommandEvent& event);

    wxIconBundle m_hIcon;
    std::unique_ptr<ProcwardTrayIcon> m_tray;
    // What a running Procward is, the same as without a window.
    std::unique_ptr<Runtime> m_runtime;
    // Test mails from the settings dialog go out on their own thread and
    // connection: never behind the alerts queued for a slow mail server.
    std::unique_ptr<MailDelivery> m_testMails;
    std::map<std::int32_t, std::unique_ptr<ServerRow>> m_rows;
    wxTimer m_timer;
    wxTimer m_countdown{this, kCountdownTimerId};
    // What a row shows of a record, now.
    RowStatus statusOf(const MonitoredServer& server) const;
    // What the servers' processes use, looked at after each check pass
    // while the window is shown.
    UsageMeter m_usage;
    RecentEvents m_events;
    void MeasureUsage();
    // Counts the stops down, once a second while there are any.
    void OnCountdown(wxTimerEvent& event);
    void FollowCountdowns();
    bool m_initialised = false;
    // The first show: the desktop frames the window after the first fitting.
    enum class FirstShow { NotShown, Framing, Fitted };
    static constexpr int kFirstShowFitLimit = 4;
    FirstShow m_firstShowState = FirstShow::NotShown;
    int m_firstShowFits = 0;
    bool m_ended = false;
    std::string m_endedHow;
    wxGUIEventLoop* m_loop = nullptr;  // while Run dispatches
    wxSize m_fittedSize;
    wxRect m_openingRect;  // where the window goes when first shown
    // The client size the window had when it was hidden, while that is
    // still what it should come back with.
    std::optional<wxSize> m_reshowClient;
    std::int32_t m_laidOutRows = -1;  // the row count the height was fitted to
    FileChooser* m_fileChooser = nullptr;
    std::int32_t m_menuRow = -1;  // the row whose context menu was shown last

    RowArea* m_rowArea = nullptr;
    wxWindow* m_headerStrip = nullptr;
    std::vector<wxStaticText*> m_headers;
    wxStaticText* m_reminder = nullptr;
    int m_templateGroupWidth = 0;
    wxRect m_templateReminder;

    wxStaticBox* m_addGroup = nullptr;
    wxTextCtrl* m_nameEdit = nullptr;
    wxTextCtrl* m_processNameEdit = nullptr;
    wxTextCtrl* m_commandLineEdit = nullptr;
    // What the strip last put into its name and file name itself: a field
    // that holds something else was typed, and is left alone.
    AddStripFields m_stripFilled;
    bool m_browsing = false;
};
