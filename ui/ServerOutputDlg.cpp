#include "ui/ServerOutputDlg.h"

#include <fstream>
#include <vector>

#include <wx/checkbox.h>
#include <wx/filename.h>
#include <wx/msgdlg.h>
#include <wx/settings.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include "platform/FileStore.h"
#include "platform/Shell.h"
#include "platform/System.h"
#include "supervision/MonitoredServer.h"
#include "supervision/OutputFollower.h"
#include "supervision/ServerOutputFile.h"
#include "ui/DialogTemplate.h"

namespace {
// The bytes of one look at the file, at most: a server that writes fast is
// caught up with over a few looks rather than in one long one.
constexpr std::size_t kLookLimit = 256 * 1024;

// A server's output is whatever bytes it wrote: a line that is not valid
// UTF-8 is shown byte for byte rather than dropped.
wxString shown(const std::string& text) {
    wxString converted = U8(text);
    if (converted.empty() && !text.empty()) converted = wxString::From8BitData(text.data(), text.size());
    return converted;
}
// True when the byte before `offset` ends a line (or there is none).
bool endsLine(const std::string& path, std::int64_t offset) {
    if (offset <= 0) return true;
    std::ifstream in(platform::filePath(path), std::ios::binary);
    char last = '\n';
    if (in.seekg(offset - 1) && in.get(last)) return last == '\n';
    return true;
}
}  // namespace

const char* const ServerOutputDlg::kDiscardedNote =
    "该服务器的输出设为丢弃（\"output\": \"discard\"），没有保存到文件，这里无可显示。";
const char* const ServerOutputDlg::kNotKeptNote = "没有设置输出目录，该服务器的输出没有保存，这里无可显示。";
const char* const ServerOutputDlg::kFoundRunningNote =
    "该服务器启动时已在运行，不是由 Procward 启动的，它的输出没有被捕获，这里无可显示。";

ServerOutputDlg::Source ServerOutputDlg::sourceOf(const MonitoredServer& server) {
    if (server.options().output == ServerOutput::discard) return {{}, kDiscardedNote};
    if (server.outputFile().empty()) return {{}, kNotKeptNote};
    // The record's own judgement of the held process: found, not launched.
    if (!server.outputNote().empty()) return {server.outputFile(), kFoundRunningNote};
    return {server.capturedIn().empty() ? server.outputFile() : server.capturedIn(), {}};
}

std::string ServerOutputDlg::titleFor(const std::string& name) { return name + " 的输出"; }

ServerOutputDlg::ServerOutputDlg(wxWindow* parent, std::int32_t index, const std::string& name, const Source& source)
    : wxDialog(parent, wxID_ANY, U8(titleFor(name)), wxDefaultPosition, wxDefaultSize,
               wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX),
      m_index(index),
      m_source(source) {
    DialogTemplate layout(this, 420, 262);
    m_fileLabel = layout.label(kFileLabelId, "", 7, 7, 406, 8);
    m_linesText = layout.edit(kLinesId, 7, 20, 406, 214, wxTE_MULTILINE | wxTE_READONLY | wxTE_DONTWRAP | wxHSCROLL);
    wxFont fixed = wxSystemSettings::GetFont(wxSYS_ANSI_FIXED_FONT);
    if (fixed.IsOk()) m_linesText->SetFont(fixed);
    wxButton* folder = layout.button(kOpenFolderId, "打开所在文件夹", 7, 241, 70, 14);
    const wxRect followRect = layout.rect(84, 243, 34, 10);
    m_followCheck = new wxCheckBox(this, kFollowCheckId, U8("跟随"), followRect.GetPosition(), followRect.GetSize());
    m_followCheck->SetValue(true);
    layout.label(wxID_STATIC, "查找：", 124, 243, 22, 8);
    m_findText = layout.edit(kFindTextId, 148, 241, 120, 14, wxTE_PROCESS_ENTER);
    layout.button(kFindNextId, "查找下一个", 272, 241, 50, 14);
    layout.button(wxID_CANCEL, "关闭", 363, 241, 50, 14)->SetDefault();
    SetEscapeId(wxID_CANCEL);

    Bind(
        wxEVT_BUTTON, [this](wxCommandEvent&) { OpenFolder(); }, kOpenFolderId);
    Bind(
        wxEVT_BUTTON, [this](wxCommandEvent&) { Close(); }, wxID_CANCEL);
    Bind(wxEVT_CLOSE_WINDOW, [this](wxCloseEvent&) {
        m_timer.Stop();
        m_closed = true;
        Destroy();
    });
    Bind(
        wxEVT_TIMER, [this](wxTimerEvent&) { FollowOutput(); }, kFollowTimerId);
    Bind(
        wxEVT_CHECKBOX, [this](wxCommandEvent&) { SetFollowing(m_followCheck->GetValue()); }, kFollowCheckId);
    // Moving up in the lines, by key or wheel, is reading back: the view
    // stops following at once.
    m_linesText->Bind(wxEVT_KEY_DOWN, [this](wxKeyEvent& event) {
        const int key = event.GetKeyCode();
        if (key == WXK_UP || key == WXK_PAGEUP || key == WXK_HOME || key == WXK_NUMPAD_UP || key == WXK_NUMPAD_PAGEUP ||
            key == WXK_NUMPAD_HOME)
            PauseFollowing();
        event.Skip();
    });
    m_linesText->Bind(wxEVT_MOUSEWHEEL, [this](wxMouseEvent& event) {
        if (event.GetWheelRotation() > 0 && event.GetWheelAxis() == wxMOUSE_WHEEL_VERTICAL) PauseFollowing();
        event.Skip();
    });
    const auto find = [this](wxCommandEvent&) {
        if (!FindNext(ToU8(m_findText->GetValue()))) wxBell();
    };
    Bind(wxEVT_BUTTON, find, kFindNextId);
    Bind(wxEVT_TEXT_ENTER, find, kFindTextId);
    // Escape closes the view wherever its focus is, and goes no further;
    // Ctrl+F goes to the search box.
    Bind(wxEVT_CHAR_HOOK, [this](wxKeyEvent& event) {
        if (event.GetKeyCode() == WXK_ESCAPE) {
            Close();
            return;
        }
        if (event.GetKeyCode() == 'F' && event.GetModifiers() == wxMOD_CONTROL) {
            m_findText->SetFocus();
            m_findText->SelectAll();
            return;
        }
        event.Skip();
    });

    folder->Enable(!m_source.file.empty());
    if (!m_source.note.empty()) {
        for (wxWindow* control :
             {static_cast<wxWindow*>(m_followCheck), static_cast<wxWindow*>(m_findText), FindWindow(kFindNextId)})
            control->Disable();
        m_fileLabel->SetLabelText(U8("文件：" + m_source.file));
        if (m_source.file.empty()) m_fileLabel->Hide();
        m_linesText->ChangeValue(U8(m_source.note));
        m_linesText->Disable();
        return;
    }
    ShowPending();
    // The follower starts at the file's end as it is now; the first lines
    // are those before that end, so none is shown twice or missed.
    m_follower = std::make_unique<OutputFollower>(m_source.file);
    std::vector<std::string> lines = ServerOutputFile::lastLines(m_source.file, kFirstLines, m_follower->offset());
    std::string first;
    for (const std::string& line : lines) first += line + "\n";
    // A line the server was writing at that moment waits for its rest.
    if (!lines.empty() && !endsLine(m_source.file, m_follower->offset())) first.pop_back();
    Append(first);
    m_timer.Start(kFollowPeriod);
}

ServerOutputDlg::~ServerOutputDlg() = default;

std::string ServerOutputDlg::shownText() const { return ToU8(m_linesText->GetValue()); }

void ServerOutputDlg::FollowOutput() {
    if (!m_follower) return;
    Append(m_follower->poll(kLookLimit));
}

void ServerOutputDlg::Append(const std::string& bytes) {
    // Whole lines only: a line (or a character) the server is still writing
    // comes with its end at a later look.
    m_partial += bytes;
    const std::size_t end = m_partial.rfind('\n');
    if (end == std::string::npos) return;
    const std::string lines = m_partial.substr(0, end + 1);
    m_partial.erase(0, end + 1);
    wxString text;
    int count = 0;
    std::size_t from = 0;
    while (from < lines.size()) {
        const std::size_t to = lines.find('\n', from);
        text += shown(lines.substr(from, to - from));
        text += '\n';
        ++count;
        from = to + 1;
    }
    // Followed only while the end is in view: a view scrolled up to read
    // stops following. While it does not follow, the lines shown stay as
    // they are, so the view keeps its place exactly; what comes meanwhile
    // waits, and is shown once "跟随" is on again.
    if (m_followCheck->GetValue() && !showsEnd()) PauseFollowing();
    m_pending += text;
    m_pendingLines += count;
    if (!m_followCheck->GetValue()) {
        ShowPending();
        return;
    }
    ShowNewLines();
}

void ServerOutputDlg::ShowNewLines() {
    if (m_pendingLines == 0) return;
    m_linesText->AppendText(m_pending);
    m_lines += m_pendingLines;
    m_pending.clear();
    m_pendingLines = 0;
    if (m_lines > kKeptLines) {
        const long cut = m_linesText->XYToPosition(0, m_lines - kKeptLines);
        if (cut > 0) m_linesText->Remove(0, cut);
        m_lines = kKeptLines;
    }
    m_linesText->SetInsertionPointEnd();
    m_linesText->ShowPosition(m_linesText->GetLastPosition());
    ShowPending();
}

void ServerOutputDlg::ShowPending() {
    std::string label = "文件：" + m_source.file;
    if (m_pendingLines > 0) label += "    （已暂停跟随，另有 " + std::to_string(m_pendingLines) + " 行新输出）";
    if (ToU8(m_fileLabel->GetLabelText()) != label) m_fileLabel->SetLabelText(U8(label));
}

void ServerOutputDlg::PauseFollowing() {
    if (!m_followCheck->GetValue()) return;
    m_followCheck->SetValue(false);
    ShowPending();
}

bool ServerOutputDlg::following() const { return m_followCheck->GetValue(); }

void ServerOutputDlg::SetFollowing(bool on) {
    if (!on) {
        PauseFollowing();
        return;
    }
    m_followCheck->SetValue(true);
    ShowNewLines();
    m_linesText->SetInsertionPointEnd();
    m_linesText->ShowPosition(m_linesText->GetLastPosition());
}

long ServerOutputDlg::firstShownPosition() const {
    long position = 0;
    const wxTextCtrlHitTestResult hit = m_linesText->HitTest(wxPoint(1, 1), &position);
    return hit == wxTE_HT_UNKNOWN ? 0 : position;
}

bool ServerOutputDlg::showsEnd() const {
    const wxSize size = m_linesText->GetClientSize();
    long position = 0;
    const wxTextCtrlHitTestResult hit = m_linesText->HitTest(wxPoint(1, size.y - 2), &position);
    if (hit == wxTE_HT_UNKNOWN || hit == wxTE_HT_BELOW) return true;
    // The last line holds nothing (the text ends with a line's end): the
    // line before it counts as the end.
    long column = 0, line = 0;
    if (!m_linesText->PositionToXY(position, &column, &line)) return true;
    return line + 2 >= m_linesText->GetNumberOfLines();
}

bool ServerOutputDlg::FindNext(const std::string& text) {
    if (text.empty()) return false;
    const wxString lines = m_linesText->GetValue().Lower();
    const wxString wanted = U8(text).Lower();
    long from = 0, to = 0;
    m_linesText->GetSelection(&from, &to);
    std::size_t at = lines.find(wanted, static_cast<std::size_t>(to));
    if (at == wxString::npos) at = lines.find(wanted);
    if (at == wxString::npos) return false;
    PauseFollowing();
    const long start = static_cast<long>(at);
    m_linesText->SetSelection(start, start + static_cast<long>(wanted.length()));
    m_linesText->ShowPosition(start);
    return true;
}

void ServerOutputDlg::OpenFolder() {
    if (m_source.file.empty()) return;
    const std::string folder = ToU8(wxFileName(U8(m_source.file)).GetPath());
    if (platform::directoryExists(folder))
        platform::shell().openDirectory(folder);
    else
        wxMessageBox(U8("路径" + folder + "  不存在"), U8("提示 "), wxOK, this);
}

void ServerOutputDlg::TakeFocus() {
    Raise();
    // A note is shown in a disabled control, which takes no focus.
    if (m_linesText->IsEnabled())
        m_linesText->SetFocus();
    else if (wxWindow* close = FindWindow(wxID_CANCEL))
        close->SetFocus();
}
