#pragma once
#include <functional>
#include <string>

#include <wx/dialog.h>

class wxTextCtrl;

// Changes the name, executable file name and command line of one monitored
// server. The opener sets the three texts, runs the dialog modally and, after
// wxID_OK, reads them back exactly as typed (untrimmed); after wxID_CANCEL
// (also Escape and the close box) they hold what the opener set. The opener
// may give it the check the add strip makes: "确定" then shows a refusal
// with the strip's message, puts the focus on the field and stays open.
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
    // The check of the three texts as typed: empty when they are accepted,
    // else the message and the add strip's field (1004, 1005, 1006).
    struct Refusal {
        std::string message;
        int stripFieldId = 0;
    };
    std::function<Refusal(const std::string& name, const std::string& fileName, const std::string& commandLine)>
        m_check;
    // This dialog's field for a field of the add strip.
    static int fieldFor(int stripFieldId);

    // The three texts into the edits (run when the dialog opens) and back.
    bool TransferDataToWindow() override;
    bool TransferDataFromWindow() override;

private:
    void OnBnClickedOk(wxCommandEvent& event);

    wxTextCtrl* m_nameEdit;
    wxTextCtrl* m_fileNameEdit;
    wxTextCtrl* m_commandLineEdit;
};
