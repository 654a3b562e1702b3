#pragma once
#include <functional>
#include <optional>
#include <string>

#include <wx/dialog.h>

#include "config/HealthCheckEdit.h"
#include "config/HealthRule.h"
#include "ui/model/HealthForm.h"

class wxChoice;
class wxStaticText;
class wxTextCtrl;

// Changes the name, executable file name and command line of one monitored
// server. The opener sets the three texts, runs the dialog modally and, after
// wxID_OK, reads them back exactly as typed (untrimmed); after wxID_CANCEL
// (also Escape and the close box) they hold what the opener set. The opener
// may give it the check the add strip makes: "确定" then shows a refusal
// with the strip's message, puts the focus on the field and stays open.
//
// Beneath the texts it shows the server's health rule (the opener sets
// m_health): "无", a tcp or an http probe with its address, interval and
// consecutive failures. After wxID_OK m_healthEdit holds the change to
// write, none when the health fields were left as shown. Fields that do
// not pass (HealthForm) are refused like the texts. A rule with a command
// probe is shown with the fields disabled and a note, and is never changed.
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
    std::optional<HealthRule> m_health;
    std::optional<HealthCheckEdit> m_healthEdit;
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
    void OnHealthKindChanged(wxCommandEvent& event);
    HealthFormTexts HealthTexts() const;
    // Enables the fields the chosen kind uses.
    void EnableHealthFields();

    wxTextCtrl* m_nameEdit;
    wxTextCtrl* m_fileNameEdit;
    wxTextCtrl* m_commandLineEdit;
    wxChoice* m_healthKindChoice;
    wxTextCtrl* m_healthTargetEdit;
    wxTextCtrl* m_healthIntervalEdit;
    wxTextCtrl* m_healthFailuresEdit;
    wxStaticText* m_healthNote;
    HealthFormView m_healthShown;
};
