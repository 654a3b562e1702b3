#pragma once
#include <array>
#include <functional>

#include <wx/button.h>
#include <wx/stattext.h>

#include "supervision/RowCells.h"

class wxWindow;

// The ten controls of one server's row in the main window, written from
// the cells of the server's record; they are destroyed with the row. The
// process-ID cell turns red while the server is down with auto-start on.
class ServerRow {
public:
    // `changed` runs after every update of the cells.
    ServerRow(wxWindow* parent, int index, const std::string& name, const std::string& commandline,
              const RowCells& cells, std::function<void()> changed = {});
    ~ServerRow();
    ServerRow(const ServerRow&) = delete;
    ServerRow& operator=(const ServerRow&) = delete;

    void update(const RowCells& cells);

    // The colour of the process-ID cell while the server is down with
    // auto-start on.
    static const wxColour kAlarmColour;
    bool showsAlarm() const { return m_alarm; }
    // The colour of the name cell while the server's health rule fails.
    static const wxColour kUnhealthyColour;
    bool showsUnhealthy() const { return m_unhealthy; }

    wxStaticText* nameLabel;
    wxStaticText* commandLineLabel;
    wxStaticText* pidLabel;
    wxStaticText* portsLabel;
    wxStaticText* startTimeLabel;
    wxButton* startStopButton;
    wxButton* editButton;
    wxButton* deleteButton;
    wxButton* loadConfigButton;
    wxButton* openPathButton;

private:
    void showAlarm(bool alarm);
    void showHealth(const RowCells& cells);

    std::function<void()> m_changed;
    bool m_alarm = false;
    bool m_unhealthy = false;
};
