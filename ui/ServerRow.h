#pragma once
#include <array>
#include <functional>

#include <wx/button.h>
#include <wx/stattext.h>

#include "ui/model/RowStatus.h"

class wxWindow;

// The controls of one server's row in the main window, written from
// the status of the server's record; they are destroyed with the row. The
// process-ID cell turns red while the server is down with auto-start on,
// amber while it starts or stops.
class ServerRow {
public:
    // `changed` runs after every update that changed a cell.
    ServerRow(wxWindow* parent, int index, const std::string& name, const std::string& commandline,
              const RowStatus& status, std::function<void()> changed = {});
    ~ServerRow();
    ServerRow(const ServerRow&) = delete;
    ServerRow& operator=(const ServerRow&) = delete;

    // Shows the status; nothing is redrawn when it is what the row shows.
    void update(const RowStatus& status);

    // The colour of the process-ID cell while the server is down with
    // auto-start on, and while it starts or stops.
    static const wxColour kAlarmColour;
    static const wxColour kBusyColour;
    bool showsAlarm() const { return m_colour == RowColour::Alarm; }
    RowColour colour() const { return m_colour; }
    // The colour of the name cell while the server's health rule fails.
    static const wxColour kUnhealthyColour;
    bool showsUnhealthy() const { return m_unhealthy; }

    wxStaticText* commandLineLabel;
    wxStaticText* pidLabel;
    wxStaticText* portsLabel;
    wxStaticText* startTimeLabel;
    wxStaticText* uptimeLabel;    // how long its process has run
    wxStaticText* restartsLabel;  // how often it was started again
    wxStaticText* lastExitLabel;  // how its last process ended, in words
    wxStaticText* cpuLabel;       // its process's share of one core
    wxStaticText* memoryLabel;    // its process's resident memory
    // The cells of the row, left to right (for finding the row of a cell).
    std::array<wxStaticText*, 10> cells() const;
    wxButton* startStopButton;
    wxButton* editButton;
    wxButton* deleteButton;
    wxButton* loadConfigButton;
    wxButton* openPathButton;
    // Made last, so that it is drawn over the others: it stays in view
    // (pinned, with a background of its own) while the rows scroll sideways.
    wxStaticText* nameLabel;
    // Puts the name cell back at the left of the view after the rows
    // scrolled sideways (where its column is when they are not scrolled);
    // while they are `scrolled`, it hides the cells that pass under it.
    void pinName(bool scrolled);

private:
    void showColour(RowColour colour);
    void showHealth(const RowStatus& cells);

    std::function<void()> m_changed;
    RowStatus m_shown;
    RowColour m_colour = RowColour::Plain;
    bool m_unhealthy = false;
    bool m_pinned = false;
    // The name cell's background: its own colour while unhealthy, the
    // area's while pinned over other cells, none otherwise.
    void showNameBackground();
};
