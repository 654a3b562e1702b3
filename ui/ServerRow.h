#pragma once
#include <array>
#include <functional>

#include <wx/button.h>
#include <wx/stattext.h>

#include "supervision/RowView.h"

class wxWindow;

// The ten controls of one server's row in the main window; they are
// destroyed with the row. The process-ID cell turns red while the server is
// down with auto-start on.
class ServerRow : public RowView {
public:
    // `changed` runs after every update of the cells.
    ServerRow(wxWindow* parent, int index, const std::string& name, const std::string& commandline,
              const RowCells& cells, std::function<void()> changed = {});
    ~ServerRow() override;

    void update(const RowCells& cells) override;

    // The colour of the process-ID cell while the server is down with
    // auto-start on.
    static const wxColour kAlarmColour;
    bool showsAlarm() const { return m_alarm; }

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

    std::function<void()> m_changed;
    bool m_alarm = false;
};
