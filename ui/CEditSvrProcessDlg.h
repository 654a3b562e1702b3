#pragma once
#include <string>

#include <wx/dialog.h>

class wxTextCtrl;

// Changes the name, executable file name and command line of one monitored
// server. The opener sets the three texts, runs the dialog modally and, after
// wxID_OK, reads them back exactly as typed (untrimmed); after wxID_CANCEL
// (also Escape and the close box) they hold what the opener set. The dialog
// checks nothing.
class CEditSvrProcessDlg : public wxDialog {
public:
    static constexpr int IDD = 133;
    static constexpr int kNameEditId = 1017;
    static constexpr int kFileNameEditId = 1018;
    static constexpr int kCommandLineEditId = 1019;

    explicit CEditSvrProcessDlg(wxWindow* parent = nullptr);

    std::string m_name;
    std::string m_fileName;
    std::string m_commandLine;

    // The three texts into the edits (run when the dialog opens) and back.
    bool TransferDataToWindow() override;
    bool TransferDataFromWindow() override;

private:
    void OnBnClickedOk(wxCommandEvent& event);

    wxTextCtrl* m_nameEdit;
    wxTextCtrl* m_fileNameEdit;
    wxTextCtrl* m_commandLineEdit;
};
