#pragma once
#include <string>
#include <vector>

#include <wx/dialog.h>

#include "config/WebhookSettingsData.h"

class wxCheckBox;
class wxChoice;
class wxTextCtrl;

// Adds or changes one webhook channel of the settings dialog. The opener
// sets m_channel (a default one for a new channel) and m_otherNames, the
// names of the other channels; "确定" checks the fields (WebhookForm): a
// refusal shows its message, puts the focus on the field and keeps the
// dialog open, else m_channel takes the fields and the dialog ends with
// wxID_OK. "取消", Escape and the close box leave m_channel as it was.
// Nothing is written here: the settings dialog's "保存" does that.
class CWebhookDlg : public wxDialog {
public:
    CWebhookDlg(wxWindow* parent, bool adding);

    WebhookSettingsData m_channel;
    std::vector<std::string> m_otherNames;

    bool TransferDataToWindow() override;
    // The check "确定" makes: true when the fields pass (m_channel then
    // holds them); otherwise the refusal's box and the focus on its field.
    bool TakeFields();

private:
    void OnBnClickedOk(wxCommandEvent& event);

    wxTextCtrl* m_nameEdit;
    wxTextCtrl* m_urlEdit;
    wxChoice* m_kindChoice;
    wxTextCtrl* m_secretEdit;
    wxTextCtrl* m_eventsEdit;
    wxTextCtrl* m_minIntervalEdit;
    wxCheckBox* m_textCheck;
    wxTextCtrl* m_timeoutEdit;
};
