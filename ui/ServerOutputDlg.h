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

// The recent output of one server, read-only: the last lines of its output
// file, then what the server appends while the view is open (a timer reads
// what came since the last look, so a slow or busy server never holds the
// window up; rotations are followed). Where the server's output is not in a
// file (discarded, not kept, a process found running rather than started
// here) the view says so instead. "打开所在文件夹" opens the file's folder.
// It is modeless: the main window goes on while it is open, and it
// destroys itself when closed.
class ServerOutputDlg : public wxDialog {
public:
    static constexpr int IDD = 134;
    static constexpr int kFileLabelId = 1020;
    static constexpr int kLinesId = 1021;
    static constexpr int kOpenFolderId = 1022;
    static constexpr int kFollowTimerId = 3;

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
    // Opens the folder of the file; a box says when it does not exist.
    void OpenFolder();
    // The keyboard goes to the view as it opens or is raised: Escape then
    // closes it (not the main window behind it), the arrows scroll the lines.
    void TakeFocus();

private:
    void Append(const std::string& bytes);

    std::int32_t m_index;
    Source m_source;
    std::unique_ptr<OutputFollower> m_follower;
    // The end of a line cut by the last look, kept until the rest comes.
    std::string m_partial;
    int m_lines = 0;
    bool m_closed = false;
    wxStaticText* m_fileLabel;
    wxTextCtrl* m_linesText;
    wxTimer m_timer{this, kFollowTimerId};
};
