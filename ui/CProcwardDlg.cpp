#include "ui/CProcwardDlg.h"

#include <algorithm>
#include <chrono>

#include <wx/app.h>
#include <wx/display.h>
#include <wx/evtloop.h>
#include <wx/listctrl.h>
#include <wx/menu.h>
#include <wx/msgdlg.h>
#include <wx/settings.h>
#include <wx/utils.h>

#include "app/core/Runtime.h"
#include "config/SettingsFile.h"
#include "config/WindowPlace.h"
#include "log/AppLogger.h"
#include "mail/MailDelivery.h"
#include "platform/Shell.h"
#include "platform/StopRequest.h"
#include "platform/System.h"
#include "platform/Text.h"
#include "supervision/SystemClock.h"
#include "ui/AppIcon.h"
#include "ui/ApplicationCaption.h"
#include "ui/CAboutDlg.h"
#include "ui/CEditSvrProcessDlg.h"
#include "ui/CRecentEventsDlg.h"
#include "ui/CRestoreListDlg.h"
#include "ui/CSettingDlg.h"
#include "ui/DialogTemplate.h"
#include "ui/FileChooser.h"
#include "ui/MainWindowGlobals.h"
#include "ui/ProcwardTrayIcon.h"
#include "ui/RowArea.h"
#include "ui/ServerOutputDlg.h"
#include "ui/ServerRow.h"
#include "ui/model/AddServerForm.h"
#include "ui/model/AutoRun.h"
#include "ui/model/MainLayout.h"
#include "ui/model/RowCommand.h"
#include "ui/model/ServerPaths.h"
#include "ui/model/TrayState.h"
#include "ui/model/WindowPlacement.h"

namespace {
const char* const kNoticeCaption = "提示 ";

std::string missingPathMessage(const std::string& directory) { return "路径" + directory + "  不存在"; }
const char* const kListNotSaved = "服务器列表保存失败：";
const char* const kListNotRead = "服务器列表无法读取，现在没有监控任何服务器：";

const char* const kColumnHeaders[MainLayout::kHeaders] = {
    "名称", "命令行", "进程ID", "监听端口", "启动时间", "运行时长", "重启次数", "上次退出", "CPU", "内存", "管理操作"};

WindowPlacement::Box boxOf(const wxRect& r) { return {r.x, r.y, r.width, r.height}; }
wxRect rectOf(const WindowPlacement::Box& b) { return wxRect(b.x, b.y, b.width, b.height); }
// The layout is reckoned in pixels at 96 DPI; the window's controls are
// placed in the pixels of the monitor it is on, which may be larger.
wxRect pixelsOf(const wxWindow& window, const MainLayout::Rect& r) {
    return wxRect(window.FromDIP(wxPoint(r.left, r.top)), window.FromDIP(wxSize(r.width, r.height)));
}
MainLayout::Rect layoutOf(const wxWindow& window, const wxRect& r) {
    const wxPoint at = window.ToDIP(r.GetPosition());
    const wxSize size = window.ToDIP(r.GetSize());
    return MainLayout::Rect{at.x, at.y, size.x, size.y};
}
}  // namespace

const char* const CProcwardDlg::kQuitQuestion = "退出后将停止监控所有服务器，确定退出吗？";
const char* const CProcwardDlg::kDeleteAllQuestion = "将停止并删除全部服务器，确定删除吗？";

std::string CProcwardDlg::deleteQuestion(const std::string& name) {
    return "将停止并删除服务器 " + name + " ，确定删除吗？";
}

std::string CProcwardDlg::restoreQuestion(const std::string& time, int servers, int now) {
    return "将用 " + time + " 保存的服务器列表（" + std::to_string(servers) + " 个服务器）替换当前列表（" +
           std::to_string(now) + " 个服务器），不在其中的服务器将被停止，确定恢复吗？";
}

std::string CProcwardDlg::stopAllQuestion(std::size_t servers) {
    return "将停止 " + std::to_string(servers) + " 个服务器，停止后不会自动重启，确定全部结束吗？";
}

std::string CProcwardDlg::loadAllQuestion(std::size_t scripts) {
    return "将运行 " + std::to_string(scripts) + " 个服务器的加载配置批处理文件，确定全部加载吗？";
}

std::string CProcwardDlg::openAllQuestion(std::size_t servers, std::size_t folders) {
    return "将打开 " + std::to_string(servers) + " 个服务器所在的 " + std::to_string(folders) +
           " 个文件夹，确定全部打开吗？";
}

const char* const CProcwardDlg::kBrowseFilter = "All Files (*.*)|*.*|Describe Files (*.exe)|*.exe||";

CProcwardDlg::CProcwardDlg()
    : wxDialog(nullptr, wxID_ANY, U8("Procward"), wxDefaultPosition, wxDefaultSize,
               wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX | wxRESIZE_BORDER | wxMAXIMIZE_BOX | wxMINIMIZE_BOX),
      m_timer(this, kStatusTimerId) {
    CreateTemplateControls();
    Bind(wxEVT_TIMER, &CProcwardDlg::OnTimer, this, kStatusTimerId);
    Bind(wxEVT_TIMER, &CProcwardDlg::OnCountdown, this, kCountdownTimerId);
    Bind(wxEVT_CLOSE_WINDOW, &CProcwardDlg::OnClose, this);
    Bind(wxEVT_SHOW, &CProcwardDlg::OnShow, this);
    Bind(wxEVT_SIZE, &CProcwardDlg::OnSize, this);
    // A modal box disables the window while it is open, which takes the
    // focus from its controls; it comes back when the window is active again.
    Bind(wxEVT_ACTIVATE, [this](wxActivateEvent& event) {
        event.Skip();
        if (event.GetActive()) CallAfter(&CProcwardDlg::RestoreFocus);
    });
    Bind(wxEVT_CHAR_HOOK, &CProcwardDlg::OnCharHook, this);
    // Where the keyboard was, to put it back after a reload or a box.
    Bind(wxEVT_CHILD_FOCUS, [this](wxChildFocusEvent& event) {
        event.Skip();
        wxWindow* focused = FindFocus();
        if (focused && focused != this && wxGetTopLevelParent(focused) == this) m_lastFocus = focused;
    });
    Bind(wxEVT_CONTEXT_MENU, &CProcwardDlg::OnContextMenu, this);
    Bind(wxEVT_MENU, &CProcwardDlg::OnMenu, this, IDM_ABOUTBOX);
    Bind(wxEVT_MENU, &CProcwardDlg::OnMenu, this, IDM_SETTINGS);
    Bind(
        wxEVT_MENU, [this](wxCommandEvent&) { ShowServerOutput(m_menuRow); }, IDM_VIEW_OUTPUT);
    Bind(
        wxEVT_MENU, [this](wxCommandEvent&) { RestartServer(m_menuRow); }, IDM_RESTART);
    // Every button comes here first: the rows' buttons are routed by range.
    Bind(wxEVT_BUTTON, &CProcwardDlg::OnCommand, this);
    Bind(
        wxEVT_TEXT, [this](wxCommandEvent&) { OnCommandLineChange(); }, IDC_COMMAND_LINE);
    for (int id : {IDC_NAME, IDC_PROCESS_NAME, IDC_COMMAND_LINE})
        Bind(
            wxEVT_TEXT_ENTER, [this](wxCommandEvent&) { OnAdd(); }, id);
}

CProcwardDlg::~CProcwardDlg() {
    m_timer.Stop();
    m_countdown.Stop();
    // The rows' controls go before the window itself; the runtime (and its
    // worker threads, which wake this window) before the window too.
    m_rows.clear();
    if (m_runtime) m_runtime->supervisor().removeObserver(this);
    if (m_runtime) m_runtime->supervisor().removeAlertSink(this);
    m_runtime.reset();
    m_testMails.reset();
    if (m_tray) {
        m_tray->RemoveIcon();
        m_tray.reset();
    }
}

void CProcwardDlg::CreateTemplateControls() {
    // Sized as a whole: every reload fits the window to its rows.
    DialogTemplate t(this, 0, 0);
    SetSize(ConvertDialogToPixels(wxSize(1053, 224)));
    m_addGroup = t.groupBox(IDC_ADD_GROUP, "添加监控对象", 11, 4, 926, 35);
    t.label(wxID_STATIC, "名称：", 24, 22, 26, 8);
    // Enter in the strip adds the server it describes (elsewhere it is the
    // default button's, "全部开始").
    m_nameEdit = t.edit(IDC_NAME, 51, 18, 95, 14, wxTE_PROCESS_ENTER);
    t.label(wxID_STATIC, "文件名：", 161, 22, 34, 8);
    m_processNameEdit = t.edit(IDC_PROCESS_NAME, 196, 18, 115, 14, wxTE_PROCESS_ENTER);
    t.label(wxID_STATIC, "命令行：", 326, 22, 32, 8);
    m_commandLineEdit = t.edit(IDC_COMMAND_LINE, 360, 18, 470, 14, wxTE_PROCESS_ENTER);
    t.button(IDC_BROWSE, "...", 847, 18, 36, 14);
    t.button(IDC_ADD, "添加", 894, 18, 36, 14);
    t.button(IDC_UPDATE_TIME, "更新时间", 968, 18, 36, 14);
    m_reminder = t.label(wxID_STATIC, "提示：请记住启动充值回调apache 服务器！", 851, 49, 164, 13);
    m_templateGroupWidth = m_addGroup->GetRect().width;
    m_templateReminder = m_reminder->GetRect();
    wxButton* startAll = t.button(IDC_START_ALL, "全部开始", 789, 186, 40, 15);
    t.button(IDC_STOP_ALL, "全部结束", 838, 186, 40, 15);
    t.button(IDC_DELETE_ALL, "全部删除", 885, 186, 40, 15);
    t.button(IDC_LOAD_ALL, "全部加载", 933, 186, 40, 15);
    t.button(IDC_OPEN_ALL, "全部打开", 981, 186, 40, 15);
    t.button(IDC_RESTORE, "恢复", 740, 186, 40, 15);
    t.button(IDC_EVENTS, "最近事件", 692, 186, 40, 15);
    const std::pair<int, const char*> tips[] = {
        {IDC_LOAD_ALL, "运行每个服务器目录中的加载配置批处理文件（先询问）"},
        {IDC_OPEN_ALL, "在文件管理器中打开服务器所在的文件夹，每个文件夹一次（先询问）"},
        {IDC_UPDATE_TIME, "运行第一个服务器目录中的更新时间批处理文件"},
        {IDC_RESTORE, "从修改前保存的副本中恢复服务器列表"},
        {IDC_EVENTS, "最近 200 个事件：进程退出、重启、停止、启动失败、健康检查"},
        {IDC_STOP_ALL, "停止全部服务器，停止后不会自动重启（先询问）"}};
    for (const auto& [id, tip] : tips) FindWindow(id)->SetToolTip(U8(tip));
    // No default button: Enter acts in the add strip (添加) and in dialogs
    // only, never on every server at once (OnCharHook).
    (void)startAll;

    const std::pair<int, void (CProcwardDlg::*)()> handlers[] = {
        {IDC_START_ALL, &CProcwardDlg::OnStartAll},   {IDC_STOP_ALL, &CProcwardDlg::OnStopAll},
        {IDC_DELETE_ALL, &CProcwardDlg::OnDeleteAll}, {IDC_LOAD_ALL, &CProcwardDlg::OnLoadAll},
        {IDC_OPEN_ALL, &CProcwardDlg::OnOpenAll},     {IDC_ADD, &CProcwardDlg::OnAdd},
        {IDC_BROWSE, &CProcwardDlg::OnBrowse},        {IDC_UPDATE_TIME, &CProcwardDlg::OnUpdateTime},
        {IDC_RESTORE, &CProcwardDlg::OnRestore},      {IDC_EVENTS, &CProcwardDlg::OnRecentEvents}};
    for (const auto& [id, handler] : handlers)
        Bind(
            wxEVT_BUTTON, [this, handler = handler](wxCommandEvent&) { (this->*handler)(); }, id);
}

bool CProcwardDlg::OnInitDialog() {
    if (m_initialised) return true;
    m_initialised = true;

    m_hIcon = ProcwardIcons();
    SetIcons(m_hIcon);

    // Made even when the desktop has no notification area yet: the icon
    // appears when one starts (a panel that starts after the program at
    // logon, or one restarted).
    m_tray = std::make_unique<ProcwardTrayIcon>(this);
    UpdateTray();

    // The worker threads (exit watcher, control socket) only ask this
    // window's thread to run the runtime; every check and command runs here.
    m_runtime = std::make_unique<Runtime>([this] { CallAfter(&CProcwardDlg::RunSupervisor); });
    m_runtime->supervisor().addObserver(this);
    m_runtime->supervisor().addAlertSink(this);

    if (RegisterAutoRun() == AutoRunResult::ShowMessage) ShowMessage(kAutoRunFailedMessage, ToU8(ApplicationCaption()));

    CreateRowFont(*this);
    for (int id : {IDC_START_ALL, IDC_STOP_ALL, IDC_DELETE_ALL}) FindWindow(id)->SetFont(g_rowFont);

    g_rowOriginX = MainLayout::kOriginX;
    g_rowOriginY = MainLayout::originY(ToDIP(m_addGroup->GetRect().height));

    // The header stays above the rows, which scroll in an area of their own.
    m_headerStrip = new wxWindow(this, wxID_ANY, FromDIP(wxPoint(0, g_rowOriginY)),
                                 wxSize(GetClientSize().x, FromDIP(MainLayout::kHeaderHeight)));
    CreateColumnHeaders(m_headerStrip);
    m_rowArea = new RowArea(this);
    m_rowArea->setAcrossObserver([this](int across) { ScrollHeaders(across); });
    // The smallest size the layout wants, unless the screen is smaller (a
    // small screen, or one scaled up): the window must fit it, frame and all.
    wxSize minimum = FromDIP(wxSize(MainLayout::kMinClientWidth, MainLayout::minClientHeight(g_rowOriginY)));
    if (const std::vector<wxRect> areas = workAreas(); !areas.empty()) {
        const wxSize frame = FromDIP(wxSize(16, 48));
        minimum.x = std::min(minimum.x, areas.front().width - frame.x);
        minimum.y = std::min(minimum.y, areas.front().height - frame.y);
    }
    SetMinClientSize(minimum);
    // The first load makes the rows (listLoaded). A list that cannot be read
    // leaves the window without rows, and says why.
    const ListResult list = m_runtime->readList();
    m_runtime->start();
    if (!list.ok && !list.missing) ShowMessage(kListNotRead + list.error, ToU8(ApplicationCaption()));
    // The first reload gave the window its size and place: where the
    // operator left it, or in the middle of the screen. The desktop's frame
    // is known only once the window is shown, when it is placed once more.
    SetSize(m_openingRect);
    ArmTimer();
    return true;
}

void CProcwardDlg::CreateColumnHeaders(wxWindow* parent) {
    // In the strip of the header, whose top is the header's top. The name's
    // header is made last, so that it is drawn over the others: it stays
    // where it is, over the pinned names, while the others scroll under it.
    const int top = parent == this ? g_rowOriginY : 0;
    m_headers.assign(MainLayout::kHeaders, nullptr);
    for (int n = 1; n <= MainLayout::kHeaders; ++n) {
        const int column = n % MainLayout::kHeaders;
        const MainLayout::Rect r = MainLayout::header(top, column);
        const wxRect placed = pixelsOf(*this, r);
        m_headers[static_cast<std::size_t>(column)] =
            new wxStaticText(parent, wxID_STATIC, U8(kColumnHeaders[column]), placed.GetPosition(), placed.GetSize(),
                             wxST_NO_AUTORESIZE);
    }
}

void CProcwardDlg::ScrollHeaders(int across) {
    // The names stay in view: the header of their column and each row's
    // name cell keep their place while the rest scrolls sideways.
    for (std::size_t column = 1; column < m_headers.size(); ++column) {
        const MainLayout::Rect r = MainLayout::header(0, static_cast<int>(column));
        const wxRect placed = pixelsOf(*this, r);
        m_headers[column]->Move(placed.x - across, placed.y);
    }
    for (const auto& [index, row] : m_rows) row->pinName(across > 0);
    // Opaque, and from the strip's edge, while the other headers pass under
    // it (as the names do).
    wxWindow* names = m_headers.front();
    const wxRect column = pixelsOf(*this, MainLayout::header(0, 0));
    const wxRect placed = across > 0 ? wxRect(0, column.y, column.GetRight() + 1, column.height) : column;
    if (names->GetRect() != placed) names->SetSize(placed);
    const wxColour background = across > 0 ? names->GetParent()->GetBackgroundColour() : wxNullColour;
    if (names->GetBackgroundColour() != background) {
        names->SetBackgroundColour(background);
        names->Refresh();
    }
}

void CProcwardDlg::ReloadServers() { supervisor().reload(); }

Supervisor& CProcwardDlg::supervisor() { return m_runtime->supervisor(); }

std::int32_t CProcwardDlg::checkInterval() const { return m_runtime->settings().general.checkInterval; }

void CProcwardDlg::listLoaded() {
    m_rows.clear();
    // The first check of each new record has run, before its row is made.
    bool unreachable = false;
    for (const auto& [index, server] : supervisor().servers()) {
        m_rows[index] = std::make_unique<ServerRow>(m_rowArea, index, server->info().name, server->info().commandline,
                                                    statusOf(*server));
        unreachable = unreachable || index > kHighestRowIndex;
    }
    if (unreachable)
        AppLogger::Instance().get().warn(
            "The buttons of rows beyond index {} do nothing; those servers are supervised "
            "all the same",
            kHighestRowIndex);
    ApplyLayout();
    ArmTimer();
    UpdateTray();
    FollowCountdowns();
    RestoreFocus();
}

ServerRow* CProcwardDlg::row(std::int32_t index) {
    const auto found = m_rows.find(index);
    return found == m_rows.end() ? nullptr : found->second.get();
}

RowStatus CProcwardDlg::statusOf(const MonitoredServer& server) const {
    RowStatus status = RowStatus::of(server.report());
    const UsageMeter::Cells usage = m_usage.cells(server.info().index, server.info().pid);
    status.cpu = usage.cpu;
    status.memory = usage.memory;
    return status;
}

void CProcwardDlg::MeasureUsage() {
    // Only while the window is shown: a hidden window reads nothing for the
    // rows, and the checks never read these. What was read before it hid is
    // dropped: a share over the hours it was hidden says nothing about now.
    if (!IsShown() || IsIconized()) {
        m_usage.forget([](std::int32_t) { return false; });
        return;
    }
    const Clock::TimePoint now = SystemClock::Instance().now();
    for (const auto& [index, server] : supervisor().servers()) m_usage.measure(index, server->info().pid, now);
    m_usage.forget([this](std::int32_t index) { return supervisor().find(index) != nullptr; });
}

void CProcwardDlg::passEnded() {
    MeasureUsage();
    // The running clocks (uptime, the next attempt) and the usage are shown
    // as they are now, not as they were at the last change.
    for (const auto& [index, server] : supervisor().servers())
        if (ServerRow* shown = row(index)) shown->update(statusOf(*server));
    UpdateTray();
}

void CProcwardDlg::serverChanged(const MonitoredServer& server) {
    if (ServerRow* shown = row(server.info().index)) shown->update(statusOf(server));
    // The tray icon counts the servers: every change of a row may change it.
    UpdateTray();
    FollowCountdowns();
}

void CProcwardDlg::FollowCountdowns() {
    bool counting = false;
    for (const auto& [index, server] : supervisor().servers()) counting = counting || server->killDue().has_value();
    if (counting && !m_countdown.IsRunning())
        m_countdown.Start(1000);
    else if (!counting && m_countdown.IsRunning())
        m_countdown.Stop();
}

void CProcwardDlg::OnCountdown(wxTimerEvent&) {
    if (!m_runtime) return;
    for (const auto& [index, server] : supervisor().servers())
        if (server->stopping())
            if (ServerRow* shown = row(index)) shown->update(statusOf(*server));
    FollowCountdowns();
}

int CProcwardDlg::Run() {
    OnInitDialog();
    Show();
    if (!m_ended) {
        wxGUIEventLoop loop;
        m_loop = &loop;
        loop.Run();
        m_loop = nullptr;
    }
    platform::StopRequest::unwatch();
    if (m_runtime) m_runtime->stop(m_endedHow);
    return GetReturnCode();
}

void CProcwardDlg::WatchStopRequests() {
    // The requests only get this window's thread to run the runtime, which
    // reloads (SIGHUP) or tells RunSupervisor to end (SIGTERM, SIGINT).
    platform::StopRequest::install();
    platform::StopRequest::watch([this] { CallAfter(&CProcwardDlg::RunSupervisor); });
}

void CProcwardDlg::OnShow(wxShowEvent& event) {
    event.Skip();
    if (!event.IsShown() || m_firstShowState != FirstShow::NotShown) return;
    m_firstShowState = FirstShow::Framing;
    CallAfter(&CProcwardDlg::FitFirstShow);
}

void CProcwardDlg::OnSize(wxSizeEvent& event) {
    event.Skip();
    if (m_rowArea) ArrangeControls();
    if (m_firstShowState != FirstShow::Framing) return;
    // While the toolkit and the window manager settle the first frame (in
    // more than one step on some desktops), the opening place is asked for
    // again, a few times at most in case the desktop insists on another.
    if (!AtOpeningPlace()) CallAfter(&CProcwardDlg::FitFirstShow);
}

bool CProcwardDlg::AtOpeningPlace() const {
    if (m_reshowClient) return GetClientSize() == *m_reshowClient && GetPosition() == m_openingRect.GetPosition();
    return GetRect() == m_openingRect;
}

void CProcwardDlg::FitFirstShow() {
    if (m_firstShowState != FirstShow::Framing) return;
    if (++m_firstShowFits >= kFirstShowFitLimit) m_firstShowState = FirstShow::Fitted;
    if (m_reshowClient) {
        // The client size is asked for, not the outer one: what the frame
        // adds is not always known yet when the window is mapped again.
        if (GetPosition() != m_openingRect.GetPosition()) Move(m_openingRect.GetPosition());
        if (GetClientSize() != *m_reshowClient) SetClientSize(*m_reshowClient);
    } else if (GetRect() != m_openingRect) {
        SetSize(m_openingRect);
    }
    RestoreFocus();
}

void CProcwardDlg::RestoreFocus() {
    // A reload destroys the rows' buttons; the one that had the focus took
    // it along, and keys would reach no control until the window is clicked.
    wxWindow* focus = FindFocus();
    if (focus && focus != this && IsDescendant(focus)) return;
    // Back where the operator left it, while that control is still there.
    if (wxWindow* last = m_lastFocus.get(); last && last->IsShownOnScreen() && last->IsEnabled()) {
        last->SetFocus();
        return;
    }
    // Otherwise the strip of column headers, which holds no control: the
    // window itself would hand the focus on to the first control of the
    // area that had it last, row 1's button, and scroll the rows to it.
    // There no row scrolls, no key presses a button the operator did not
    // choose, and Escape still reaches the window.
    if (m_headerStrip)
        m_headerStrip->SetFocus();
    else
        SetFocus();
}

void CProcwardDlg::KeepFocus(wxWindow* button, bool hadFocus) {
    // A disabled control loses the focus; given back once it is enabled
    // again, so that the keyboard stays where the operator left it.
    if (hadFocus && button && button->IsEnabled()) button->SetFocus();
}

void CProcwardDlg::UpdateTray() {
    if (!m_tray || !m_runtime) return;
    std::vector<RowStatus> rows;
    for (const auto& [index, server] : supervisor().servers()) rows.push_back(statusOf(*server));
    m_tray->ShowState(TrayState::of(rows));
}

bool CProcwardDlg::trayAvailable() const { return m_tray && wxTaskBarIcon::IsAvailable(); }

std::vector<wxRect> CProcwardDlg::workAreas() {
    std::vector<wxRect> areas;
    for (unsigned i = 0; i < wxDisplay::GetCount(); ++i) {
        const wxDisplay display(i);
        const wxRect area = display.GetClientArea();
        if (display.IsPrimary())
            areas.insert(areas.begin(), area);
        else
            areas.push_back(area);
    }
    return areas;
}

void CProcwardDlg::ApplyLayout() {
    const MainLayout::Rect edit = layoutOf(*this, m_commandLineEdit->GetRect());
    const std::int32_t rows = supervisor().liveServerCount();
    MainLayout::Relayout r = MainLayout::relayout(g_rowOriginY, rows, edit.left, edit.top);
    // Placed on the screen in its pixels.
    const wxSize fitted = FromDIP(wxSize(r.windowWidth, r.windowHeight));
    r.windowWidth = fitted.x;
    r.windowHeight = fitted.y;
    m_fittedSize = fitted;
    std::vector<WindowPlacement::Box> areas;
    for (const wxRect& area : workAreas()) areas.push_back(boxOf(area));
    const WindowPlacement::Box minimum = boxOf(wxRect(wxPoint(), GetMinSize()));
    if (!IsShown() && m_firstShowState == FirstShow::NotShown) {
        // Where the window opens: where the operator left it, if that is on
        // a screen, else in the middle of the primary one; never larger
        // than the screen's work area.
        std::optional<WindowPlacement::Box> remembered;
        if (const auto place = WindowPlace::read(SettingsFilePath()))
            remembered = WindowPlacement::Box{place->x, place->y, place->width, place->height};
        m_openingRect = rectOf(WindowPlacement::opening(
            remembered, WindowPlacement::Box{0, 0, r.windowWidth, r.windowHeight}, areas, minimum));
        m_laidOutRows = rows;
        SetSize(m_openingRect);
    } else if (rows != m_laidOutRows) {
        // More or fewer rows: the height follows them, within the screen;
        // the window stays where it is (moved up only as far as needed).
        m_laidOutRows = rows;
        const WindowPlacement::Box current = boxOf(GetScreenRect());
        const wxRect placed =
            rectOf(WindowPlacement::refit(current, r.windowHeight, WindowPlacement::areaOf(current, areas), minimum));
        if (IsShown() && m_firstShowState == FirstShow::Framing) {
            m_firstShowState = FirstShow::Fitted;
        }
        if (!IsShown()) {
            m_openingRect = placed;
            m_reshowClient.reset();
        }
        SetSize(placed);
    }
    ArrangeControls();
}

void CProcwardDlg::ArrangeControls() {
    const wxSize client = ToDIP(GetClientSize());
    const wxRect editPixels = m_commandLineEdit->GetRect();
    const MainLayout::Rect edit = layoutOf(*this, editPixels);
    const std::int32_t highest = supervisor().servers().empty() ? 0 : supervisor().servers().rbegin()->first;
    const MainLayout::Arrangement a = MainLayout::arrange(
        g_rowOriginY, highest, client.x, client.y, edit.left, edit.top, ToDIP(m_templateGroupWidth),
        layoutOf(*this, m_templateReminder), ToDIP(wxSystemSettings::GetMetric(wxSYS_HSCROLL_Y, this)));
    const int bottomIds[5] = {IDC_START_ALL, IDC_STOP_ALL, IDC_DELETE_ALL, IDC_LOAD_ALL, IDC_OPEN_ALL};
    for (int i = 0; i < 5; ++i)
        FindWindow(bottomIds[i])->SetSize(pixelsOf(*this, a.bottomButtons[static_cast<std::size_t>(i)]));
    FindWindow(IDC_RESTORE)->SetSize(pixelsOf(*this, a.restoreButton));
    FindWindow(IDC_EVENTS)->SetSize(pixelsOf(*this, a.eventsButton));
    m_commandLineEdit->SetSize(editPixels.x, editPixels.y, FromDIP(a.commandLineEditWidth), editPixels.height);
    const int topIds[3] = {IDC_BROWSE, IDC_ADD, IDC_UPDATE_TIME};
    for (int i = 0; i < 3; ++i)
        FindWindow(topIds[i])->SetSize(pixelsOf(*this, a.topButtons[static_cast<std::size_t>(i)]));
    const wxRect group = m_addGroup->GetRect();
    m_addGroup->SetSize(group.x, group.y, FromDIP(a.groupBoxWidth), group.height);
    m_reminder->SetSize(pixelsOf(*this, a.reminder));
    m_headerStrip->SetSize(pixelsOf(*this, a.header));
    m_rowArea->SetSize(pixelsOf(*this, a.rowArea));
    m_rowArea->setContentSize(FromDIP(MainLayout::kRowsClientWidth),
                              FromDIP(MainLayout::rowAreaContentHeight(highest)));
}

void CProcwardDlg::RememberPlace() {
    if (!IsShown() || IsIconized() || IsMaximized()) return;
    const wxRect r = GetScreenRect();
    const WindowPlace place{r.x, r.y, r.width, r.height};
    if (WindowPlace::read(SettingsFilePath()) == place) return;
    std::string error;
    if (!WindowPlace::save(SettingsFilePath(), place, error))
        AppLogger::Instance().get().error("The window's place could not be kept: {}", error);
}

void CProcwardDlg::CheckAllServers() {
    supervisor().checkAll();
    ArmTimer();
}

void CProcwardDlg::RunSupervisor() {
    if (!m_runtime) return;
    m_runtime->runDue();
    if (const std::string how = m_runtime->endRequested(); !how.empty() && !m_ended) {
        EndWithCommand(wxID_CANCEL, how);
        return;
    }
    ArmTimer();
}

void CProcwardDlg::ArmTimer() {
    if (!m_runtime) return;
    // One shot, to whatever the runtime has due next: the tick, a settle
    // read, a stop's time-out, the service manager's watchdog.
    const auto wait =
        std::chrono::duration_cast<std::chrono::milliseconds>(m_runtime->nextDue() - SystemClock::Instance().now());
    const long long ms = std::clamp<long long>(wait.count() + 1, 1, 24LL * 3600 * 1000);
    m_timer.StartOnce(static_cast<int>(ms));
}

void CProcwardDlg::OnTimer(wxTimerEvent& event) {
    if (event.GetId() == kStatusTimerId) RunSupervisor();
}

int CProcwardDlg::OnTrayNotify(unsigned iconId, unsigned mouseMessage) {
    if (iconId != kTrayIconId) return 1;
    if (mouseMessage == kLeftButtonUp || mouseMessage == kLeftButtonDoubleClick) {
        if (IsIconized()) Iconize(false);
        if (!IsShown() && m_firstShowState == FirstShow::Fitted) {
            // Mapped again, the window may come back with its frame counted
            // into its own size (seen on a busy desktop) or placed as a new
            // window; it goes back to where and how large it was hidden,
            // asked for again while the desktop settles the frame.
            m_firstShowState = FirstShow::Framing;
            m_firstShowFits = 0;
            CallAfter(&CProcwardDlg::FitFirstShow);
        }
        Show();
        Raise();
    } else if (mouseMessage == kRightButtonUp && m_tray) {
        const std::unique_ptr<wxMenu> menu = ProcwardTrayIcon::CreateTrayMenu();
        if (IsShown()) Raise();
        m_tray->PopupMenu(menu.get());
    }
    return 0;
}

void CProcwardDlg::OnClose(wxCloseEvent&) {
    // Closing only hides the window: the servers stay supervised. Without a
    // notification area (now: it may have gone since the start) the window
    // could not be brought back, so it is minimised instead.
    RememberPlace();
    if (trayAvailable()) {
        if (!IsIconized() && !IsMaximized()) {
            m_openingRect = GetRect();
            m_reshowClient = GetClientSize();
        }
        Hide();
    } else {
        Iconize(true);
    }
}

void CProcwardDlg::OnCharHook(wxKeyEvent& event) {
    // Keys of another window (an output view) are that window's.
    wxWindow* focus = FindFocus();
    if (focus && focus != this && wxGetTopLevelParent(focus) != this) {
        event.Skip();
        return;
    }
    if (event.GetKeyCode() == WXK_ESCAPE) {
        RequestEnd("Escape");
        return;
    }
    // Enter adds the server the strip describes; anywhere else it does
    // nothing: not on a row's button the focus happens to be on, not
    // "全部开始". Space still presses the focused button.
    if (event.GetKeyCode() == WXK_RETURN || event.GetKeyCode() == WXK_NUMPAD_ENTER) {
        const bool inStrip = focus && (focus == m_nameEdit || focus == m_processNameEdit ||
                                       focus == m_commandLineEdit || focus->GetId() == IDC_ADD);
        if (!inStrip) return;
    }
    event.Skip();
}

void CProcwardDlg::EndWithCommand(int command, const std::string& how) {
    if (!m_ended) m_endedHow = how;
    if (!m_ended) RememberPlace();
    m_ended = true;
    SetReturnCode(command);
    Hide();
    // Also from inside a message box or dialog: Run returns once that closes.
    if (m_loop) m_loop->ScheduleExit(command);
}

void CProcwardDlg::RequestEnd(const std::string& how) {
    if (m_ended || !Confirm(kQuitQuestion)) return;
    EndWithCommand(wxID_CANCEL, how);
}

bool CProcwardDlg::Confirm(const std::string& question) {
    if (m_runtime && !m_runtime->settings().general.confirmDangerous) return true;
    // A hidden window (the tray's menu) owns no box: it would not be seen.
    return wxMessageBox(U8(question), ApplicationCaption(), wxYES_NO | wxNO_DEFAULT | wxICON_QUESTION,
                        IsShown() ? this : nullptr) == wxYES;
}

void CProcwardDlg::OnContextMenu(wxContextMenuEvent& event) {
    wxPoint where = event.GetPosition();
    // A row offers what concerns its server; only the window's own
    // background offers the window menu.
    if (event.GetEventObject() != this) {
        auto* control = dynamic_cast<wxWindow*>(event.GetEventObject());
        const std::int32_t index = RowAt(control, where == wxDefaultPosition ? wxGetMousePosition() : where);
        if (index < 0) {
            event.Skip();
            return;
        }
        const std::unique_ptr<wxMenu> menu = RowMenu(index);
        PopupMenu(menu.get());
        return;
    }
    ShowWindowMenu(where == wxDefaultPosition ? wxDefaultPosition : ScreenToClient(where));
}

std::int32_t CProcwardDlg::RowAt(wxWindow* control, const wxPoint& screenPoint) {
    for (const auto& [index, row] : m_rows)
        for (wxWindow* cell : row->cells())
            if (cell == control) return index;
    if (control != m_rowArea || !m_rowArea) return -1;
    // Between the cells: the row whose band holds the point.
    const wxPoint at = m_rowArea->CalcUnscrolledPosition(m_rowArea->ScreenToClient(screenPoint));
    for (const auto& [index, row] : m_rows) {
        const wxRect cell =
            pixelsOf(*this, MainLayout::rowControl(MainLayout::kRowAreaOriginY, index, MainLayout::Name));
        if (at.y >= cell.y && at.y < cell.y + cell.height) return index;
    }
    return -1;
}

std::unique_ptr<wxMenu> CProcwardDlg::RowMenu(std::int32_t index) {
    m_menuRow = index;
    auto menu = std::make_unique<wxMenu>();
    menu->Append(IDM_RESTART, U8("重启"));
    menu->Append(IDM_VIEW_OUTPUT, U8("查看输出"));
    return menu;
}

void CProcwardDlg::alert(const AlertEvent& event) {
    // How the process ended, in the window's words, from the record the
    // event is about (the event itself carries it in English).
    std::string exitText;
    if (event.kind == AlertKind::ServerDown)
        if (const MonitoredServer* server = supervisor().find(event.index))
            if (const std::optional<LastExit>& exit = server->report().exit) exitText = RowStatus::lastExitText(*exit);
    m_events.add(event, exitText);
    if (CRecentEventsDlg* view = eventsView()) view->ShowEvents(m_events);
}

void CProcwardDlg::OnRecentEvents() { ShowRecentEvents(); }

CRecentEventsDlg* CProcwardDlg::eventsView() {
    for (wxWindow* child : GetChildren())
        if (auto* view = dynamic_cast<CRecentEventsDlg*>(child); view && !view->closed()) return view;
    return nullptr;
}

CRecentEventsDlg* CProcwardDlg::ShowRecentEvents() {
    CRecentEventsDlg* view = eventsView();
    if (!view) view = new CRecentEventsDlg(this, m_events);
    view->Show();
    view->Raise();
    view->list()->SetFocus();
    return view;
}

ServerOutputDlg* CProcwardDlg::outputView(std::int32_t index) {
    for (wxWindow* child : GetChildren())
        if (auto* view = dynamic_cast<ServerOutputDlg*>(child); view && view->index() == index && !view->closed())
            return view;
    return nullptr;
}

ServerOutputDlg* CProcwardDlg::ShowServerOutput(std::int32_t index) {
    const MonitoredServer* server = supervisor().find(index);
    if (!server) return nullptr;
    ServerOutputDlg* view = outputView(index);
    if (!view) view = new ServerOutputDlg(this, index, server->info().name, ServerOutputDlg::sourceOf(*server));
    view->Show();
    view->TakeFocus();
    return view;
}

void CProcwardDlg::ShowWindowMenu(const wxPoint& where) {
    wxMenu menu;
    menu.Append(IDM_SETTINGS, U8("设置"));
    menu.AppendSeparator();
    menu.Append(IDM_ABOUTBOX, U8("&About Procward..."));
    PopupMenu(&menu, where);
}

void CProcwardDlg::OnMenu(wxCommandEvent& event) { OnSysCommand(event.GetId()); }

void CProcwardDlg::OnSysCommand(int command) {
    switch (command & ~0xF) {
        case IDM_ABOUTBOX: {
            CAboutDlg about(this, ProcwardBitmap(32));
            about.ShowModal();
            break;
        }
        case IDM_SETTINGS: {
            // Saving hands the new values to the runtime, which writes them
            // and puts them in force; the timer keeps its period.
            if (!m_testMails) m_testMails = std::make_unique<MailDelivery>(1);
            CSettingDlg settings(this, m_runtime->settings(), *m_testMails,
                                 [this](const Settings& values, std::string& error) {
                                     return m_runtime->changeSettings(values, error);
                                 });
            settings.ShowModal();
            break;
        }
        default: break;
    }
}

void CProcwardDlg::ShowMessage(const std::string& text, const std::string& caption) {
    wxMessageBox(U8(text), U8(caption), wxOK, this);
}

CommandDone CProcwardDlg::ListChanged() {
    return [this](const CommandResult& result) {
        if (result.status == CommandStatus::SaveFailed)
            ShowMessage(kListNotSaved + result.error, ToU8(ApplicationCaption()));
    };
}

void CProcwardDlg::OnCommand(wxCommandEvent& event) {
    const std::optional<RowCommand> command = RouteRowCommand(event.GetId());
    if (!command) {
        event.Skip();  // a global button: its own handler takes it
        return;
    }
    switch (command->kind) {
        case RowCommandKind::Toggle: ToggleServer(command->index); break;
        case RowCommandKind::Delete: DeleteServer(command->index); break;
        case RowCommandKind::Edit: EditServer(command->index); break;
        case RowCommandKind::LoadConfig: RunReloadBatch(command->index); break;
        case RowCommandKind::OpenPath: OpenServerPath(command->index); break;
    }
}

void CProcwardDlg::ToggleServer(std::int32_t index) {
    const MonitoredServer* server = supervisor().find(index);
    // The record decides, not the caption.
    if (!server) return;
    if (server->stopping()) {
        // "立即结束": the stop waits no longer for its time-out.
        supervisor().kill(index);
        ArmTimer();
        return;
    }
    wxWindow* button = FindWindow(RowCommandId(RowCommandKind::Toggle, index));
    const bool hadFocus = button && FindFocus() == button;
    if (button) button->Disable();
    if (server->info().pid > 0)
        supervisor().stop(index);
    else
        supervisor().start(index);
    if (button) button->Enable();
    KeepFocus(button, hadFocus);
    ArmTimer();
}

void CProcwardDlg::DeleteServer(std::int32_t index) {
    const MonitoredServer* server = supervisor().find(index);
    if (!server || !Confirm(deleteQuestion(server->info().name))) return;
    // The list is rewritten once the process has gone; meanwhile the row
    // shows the stop.
    supervisor().remove(index, ListChanged());
    ArmTimer();
}

void CProcwardDlg::EditServer(std::int32_t index) {
    const MonitoredServer* found = supervisor().find(index);
    if (!found) return;
    // The add strip's rule, against every other row: an edit must not make
    // two rows of one process, nor a row without a name or command line.
    const auto check = [this, index](const std::string& name, const std::string& fileName,
                                     const std::string& commandLine) {
        const NewServerCheck result = NewServerCheckOf(supervisor().checkEntry(name, fileName, commandLine, index));
        return CEditSvrProcessDlg::Refusal{result.message, result.focusId};
    };
    CEditSvrProcessDlg edit(this);
    edit.m_name = found->info().name;
    edit.m_fileName = found->info().processname;
    edit.m_commandLine = found->info().commandline;
    edit.m_health = found->options().health;
    edit.m_check = check;
    if (edit.ShowModal() != wxID_OK) return;
    // Checks ran while the dialog was open, but only reloads replace records.
    if (!supervisor().find(index)) return;
    // The list may have changed while the dialog was open (ctl): checked again.
    if (const CEditSvrProcessDlg::Refusal refusal = check(edit.m_name, edit.m_fileName, edit.m_commandLine);
        !refusal.message.empty()) {
        ShowMessage(refusal.message, ToU8(ApplicationCaption()));
        return;
    }
    // The texts as typed: a new command line waits for the old process. A
    // changed health rule goes into the same write, and the record takes it
    // from the list loaded again after it, keeping its process.
    supervisor().replace(index, ServerEntry{0, edit.m_name, edit.m_fileName, edit.m_commandLine}, ListChanged(),
                         edit.m_healthEdit);
    ArmTimer();
}

void CProcwardDlg::RunReloadBatch(std::int32_t index) {
    const MonitoredServer* found = supervisor().find(index);
    if (!found) return;
    const std::string& commandLine = found->info().commandline;
    const std::optional<std::string> directory = ServerDirectory(commandLine, found->info().processname);
    if (!directory) return;
    if (!platform::directoryExists(*directory)) {
        ShowMessage(missingPathMessage(*directory), kNoticeCaption);
        return;
    }
    const std::optional<std::string> script = ReloadScriptName(commandLine, found->info().processname);
    const std::string path = *directory + script.value_or(std::string());
    if (!script || !platform::fileExists(path)) {
        ShowMessage("加载配置批处理文件 " + path + " 不存在", kNoticeCaption);
        return;
    }
    platform::shell().runScript(path, *directory, false);
}

void CProcwardDlg::RestartServer(std::int32_t index) {
    if (!supervisor().find(index)) return;
    // The record's own restart: a stop under way is waited for, then the
    // start follows; the row shows each step.
    supervisor().restart(index);
    ArmTimer();
}

void CProcwardDlg::OpenServerPath(std::int32_t index) {
    const MonitoredServer* found = supervisor().find(index);
    if (!found) return;
    const std::optional<std::string> directory = ServerDirectory(found->info().commandline, found->info().processname);
    if (!directory) return;
    if (platform::directoryExists(*directory))
        platform::shell().openDirectory(*directory);
    else
        ShowMessage(missingPathMessage(*directory), kNoticeCaption);
}

void CProcwardDlg::OnStartAll() {
    wxWindow* button = FindWindow(IDC_START_ALL);
    const bool hadFocus = FindFocus() == button;
    button->Disable();
    supervisor().startAll();
    button->Enable();
    KeepFocus(button, hadFocus);
    ArmTimer();
}

void CProcwardDlg::OnStopAll() {
    // Every server it would stop, and every one it would keep down that the
    // checks would otherwise start again: all of them stay down until
    // started by hand, which one click must not do unasked.
    std::size_t touched = 0;
    for (const auto& [index, server] : supervisor().servers())
        if (server->info().pid > 0 || server->autoStart()) ++touched;
    if (touched > 0 && !Confirm(stopAllQuestion(touched))) return;
    wxWindow* button = FindWindow(IDC_STOP_ALL);
    const bool hadFocus = FindFocus() == button;
    button->Disable();
    supervisor().stopAll();
    button->Enable();
    KeepFocus(button, hadFocus);
    ArmTimer();
}

void CProcwardDlg::OnDeleteAll() {
    if (supervisor().servers().empty() || !Confirm(kDeleteAllQuestion)) return;
    // The list is emptied once every process has gone.
    supervisor().removeAll(ListChanged());
    ArmTimer();
}

std::vector<CProcwardDlg::ReloadScript> CProcwardDlg::ReloadScripts() {
    std::vector<ReloadScript> scripts;
    for (const auto& [index, server] : supervisor().servers()) {
        const std::string& commandLine = server->info().commandline;
        const std::optional<std::string> directory = ServerDirectory(commandLine, server->info().processname);
        if (!directory || !platform::directoryExists(*directory)) continue;
        const std::optional<std::string> script = ReloadScriptName(commandLine, server->info().processname);
        if (script && platform::fileExists(*directory + *script)) scripts.push_back({*directory + *script, *directory});
    }
    return scripts;
}

void CProcwardDlg::OnLoadAll() {
    // The scripts are found first, so that the question counts what runs.
    const std::vector<ReloadScript> scripts = ReloadScripts();
    if (scripts.empty() || !Confirm(loadAllQuestion(scripts.size()))) return;
    for (const ReloadScript& script : scripts) platform::shell().runScript(script.path, script.directory, false);
}

void CProcwardDlg::OnOpenAll() {
    // Servers of one installation share a folder: a file manager each
    // would bury the desktop in copies of one window.
    std::vector<std::string> folders;
    std::size_t servers = 0;
    for (const auto& [index, server] : supervisor().servers()) {
        const std::optional<std::string> directory =
            ServerDirectory(server->info().commandline, server->info().processname);
        if (!directory || !platform::directoryExists(*directory)) continue;
        ++servers;
        if (std::find(folders.begin(), folders.end(), *directory) == folders.end()) folders.push_back(*directory);
    }
    if (folders.empty() || !Confirm(openAllQuestion(servers, folders.size()))) return;
    for (const std::string& folder : folders) platform::shell().openDirectory(folder);
}

void CProcwardDlg::OnAdd() {
    const NewServerCheck check = NewServerCheckOf(supervisor().checkEntry(
        ToU8(m_nameEdit->GetValue()), ToU8(m_processNameEdit->GetValue()), ToU8(m_commandLineEdit->GetValue())));
    if (!check.accepted()) {
        ShowMessage(check.message, ToU8(ApplicationCaption()));
        if (wxWindow* field = FindWindow(check.focusId)) field->SetFocus();
        return;
    }
    supervisor().add(ServerEntry{0, check.name, check.processname, check.commandline}, ListChanged());
}

void CProcwardDlg::OnBrowse() {
    FileChooser& chooser = m_fileChooser ? *m_fileChooser : FileChooser::Instance();
    const BrowsedServer browsed = SplitBrowsedPath(chooser.chooseFile(this, kBrowseFilter));
    m_nameEdit->SetValue(U8(browsed.name));
    m_processNameEdit->SetValue(U8(browsed.fileName));
    // The chosen file is the program whatever blanks its path holds; the
    // name is proposed as typing does.
    m_browsing = true;
    m_commandLineEdit->SetValue(U8(browsed.commandLine));
    m_browsing = false;
    // What browsing filled counts as the strip's own, not as typed.
    m_stripFilled = {ToU8(m_nameEdit->GetValue()), ToU8(m_processNameEdit->GetValue())};
}

void CProcwardDlg::OnCommandLineChange() {
    const std::string commandLine = ToU8(m_commandLineEdit->GetValue());
    if (m_browsing) {
        if (const std::optional<std::string> name = ProposeServerName(ToU8(m_processNameEdit->GetValue()), commandLine))
            m_nameEdit->ChangeValue(U8(*name));
        return;
    }
    const AddStripFill fill =
        FillAddStrip({ToU8(m_nameEdit->GetValue()), ToU8(m_processNameEdit->GetValue())}, m_stripFilled, commandLine);
    // Set without a change event: only typing makes a field the operator's.
    if (fill.fileName) {
        m_processNameEdit->ChangeValue(U8(*fill.fileName));
        m_stripFilled.fileName = *fill.fileName;
    }
    if (fill.name) {
        m_nameEdit->ChangeValue(U8(*fill.name));
        m_stripFilled.name = *fill.name;
    }
}

void CProcwardDlg::OnUpdateTime() {
    for (const auto& [index, server] : supervisor().servers()) {
        const std::optional<std::string> directory =
            ServerDirectory(server->info().commandline, server->info().processname);
        if (!directory) continue;
        platform::shell().runScript(*directory + UpdateTimeScriptName(), *directory, true);
        return;
    }
}

void CProcwardDlg::OnRestore() {
    const std::vector<ListBackups::Generation> generations = m_runtime->serverList().backups().generations();
    CRestoreListDlg choose(this, generations);
    if (choose.ShowModal() != wxID_OK || choose.chosen() == 0) return;
    const ListBackups::Generation& chosen = generations[static_cast<std::size_t>(choose.chosen() - 1)];
    if (!Confirm(restoreQuestion(ListBackups::localTimeText(chosen.made), chosen.servers,
                                 static_cast<int>(supervisor().servers().size()))))
        return;
    // As a reload: servers the copy keeps as they are keep their processes.
    std::string text;
    if (!m_runtime->restoreList(chosen.number, "window", text)) ShowMessage(text, ToU8(ApplicationCaption()));
    ArmTimer();
}
