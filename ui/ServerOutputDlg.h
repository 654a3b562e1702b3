#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include <wx/dialog.h>
#include <wx/timer.h>

class MonitoredServer;
class OutputFollower;
class wxStaticText;
class wxTextCtrl;
class wxCheckBox;

// The recent output of one server, read-only: the last lines of its output
// file, then what the server appends while the view is open (a timer reads
// what came since the last look, so a slow or busy server never holds the
// window up; rotations are followed). Where the server's output is not in a
// file (discarded, not kept, a process found running rather than started
// here) the view says so instead. "打开所在文件夹" opens the file's folder.
// While "跟随" is on and the lines are scrolled to their end, new lines
// scroll into view; scrolled up (which turns "跟随" off) or with it off, the
// view keeps its place and the new lines wait (their count is shown) until
// "跟随" is on again. "查找" finds the next line holding a text.
// It is modeless: the main window goes on while it is open, and it
// destroys itself when closed.
class ServerOutputDlg : public wxDialog {
public:
    static constexpr int IDD = 134;
    static constexpr int kFileLabelId = 1020;
    static constexpr int kLinesId = 1021;
    static constexpr int kOpenFolderId = 1022;
    static constexpr int kFollowTimerId = 3;
    static constexpr int kFollowCheckId = 1023;
    static constexpr int kFindTextId = 1024;
    static constexpr int kFindNextId = 1025;

    // Lines shown when the view opens.
    static constexpr std::size_t kFirstLines = 200;
    // Lines kept while following: the oldest go beyond that.
    static constexpr int kKeptLines = 2000;
    // How often the file is looked at, in milliseconds.
    static constexpr int kFollowPeriod = 500;

    // What the view shows of a server: its file, or why there is none to show.
    struct Source {
        std::string file;
        std::string note;
    };
    static Source sourceOf(const MonitoredServer& server);
    static const char* const kDiscardedNote;
    static const char* const kNotKeptNote;
    static const char* const kFoundRunningNote;

    ServerOutputDlg(wxWindow* parent, std::int32_t index, const std::string& name, const Source& source);
    ~ServerOutputDlg() override;

    std::int32_t index() const { return m_index; }
    // True once closed: it goes at the next idle time.
    bool closed() const { return m_closed; }
    // "<name> 的输出".
    static std::string titleFor(const std::string& name);
    // What the view shows now, lines or note.
    std::string shownText() const;
    bool showsNote() const { return !m_source.note.empty(); }
    // Takes what the server appended since the last look.
    void FollowOutput();
    // Whether new lines scroll into view ("跟随"); turning it on goes to
    // the end.
    bool following() const;
    // Lines that came while the view did not follow, not shown yet.
    int waitingLines() const { return m_pendingLines; }
    void SetFollowing(bool on);
    // The position of the first character in view, and whether the last
    // line is in view.
    long firstShownPosition() const;
    bool showsEnd() const;
    // Selects and scrolls to the next occurrence of `text` after the
    // selection (from the top again after the last), letter case ignored;
    // "跟随" goes off so that the find stays in view. False when the lines
    // hold no such text.
    bool FindNext(const std::string& text);
    // Opens the folder of the file; a box says when it does not exist.
    void OpenFolder();
    // The keyboard goes to the view as it opens or is raised: Escape then
    // closes it (not the main window behind it), the arrows scroll the lines.
    void TakeFocus();

private:
    void Append(const std::string& bytes);
    // Shows the lines that waited, and the end.
    void ShowNewLines();
    // Says beside the file's name how many lines wait while not following.
    void ShowPending();
    void PauseFollowing();

    std::int32_t m_index;
    Source m_source;
    std::unique_ptr<OutputFollower> m_follower;
    // The end of a line cut by the last look, kept until the rest comes.
    std::string m_partial;
    int m_lines = 0;
    // Lines that came while the view did not follow.
    wxString m_pending;
    int m_pendingLines = 0;
    bool m_closed = false;
    wxStaticText* m_fileLabel;
    wxTextCtrl* m_linesText;
    wxCheckBox* m_followCheck;
    wxTextCtrl* m_findText;
    wxTimer m_timer{this, kFollowTimerId};
};
