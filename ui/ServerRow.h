#pragma once
#include <array>

#include <wx/button.h>
#include <wx/stattext.h>

#include "supervision/RowCells.h"

class wxWindow;

// The ten controls of one server's row in the main window, written from
// the cells of the server's record; they are destroyed with the row.
class ServerRow {
public:
    ServerRow(wxWindow* parent, int index, const std::string& name, const std::string& commandline,
              const RowCells& cells);
    ~ServerRow();
    ServerRow(const ServerRow&) = delete;
    ServerRow& operator=(const ServerRow&) = delete;

    void update(const RowCells& cells);

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
};
