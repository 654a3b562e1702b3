#pragma once
#include <array>

#include <wx/button.h>
#include <wx/stattext.h>

#include "supervision/RowView.h"

class wxWindow;

// The ten controls of one server's row in the main window; they are
// destroyed with the row.
class ServerRow : public RowView {
public:
    ServerRow(wxWindow* parent, int index, const std::string& name, const std::string& commandline,
              const RowCells& cells);
    ~ServerRow() override;

    void update(const RowCells& cells) override;

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
