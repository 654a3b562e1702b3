#pragma once
// Drives dialogs the way the operator does, through the events the controls
// send, without touching the X server's keyboard (window tests run side by
// side on one display).
#include <chrono>
#include <string>
#include <vector>

#include <wx/app.h>
#include <wx/utils.h>

#include <wx/button.h>
#include <wx/dialog.h>
#include <wx/msgdlg.h>
#include <wx/stattext.h>
#include <wx/testing.h>
#include <wx/textctrl.h>

#include "tests/support/TestServer.h"
#include "ui/DialogTemplate.h"

inline wxTextCtrl* editOf(wxWindow* dialog, int id) { return dynamic_cast<wxTextCtrl*>(dialog->FindWindow(id)); }
inline wxButton* buttonOf(wxWindow* dialog, int id) { return dynamic_cast<wxButton*>(dialog->FindWindow(id)); }

// A click on the button `id`.
inline void clickButton(wxWindow* dialog, int id) {
    wxWindow* button = dialog->FindWindow(id);
    wxCommandEvent click(wxEVT_BUTTON, id);
    click.SetEventObject(button);
    button->GetEventHandler()->ProcessEvent(click);
}

// A key event of `type` for `key` sent to `target`; true when a handler took
// it (did not pass it on).
inline bool sendKey(wxWindow* target, wxEventType type, int key, int modifiers = wxMOD_NONE) {
    wxKeyEvent event(type);
    event.m_keyCode = key;
    event.m_uniChar = key;
    event.m_controlDown = (modifiers & wxMOD_CONTROL) != 0;
    event.SetEventObject(target);
    return target->GetEventHandler()->ProcessEvent(event);
}

// Texts of the dialog's labels, in creation order.
inline std::vector<std::string> labelsOf(wxWindow* dialog) {
    std::vector<std::string> labels;
    for (wxWindow* child : dialog->GetChildren())
        if (auto* label = dynamic_cast<wxStaticText*>(child)) labels.push_back(ToU8(label->GetLabel()));
    return labels;
}

// Lets the toolkit handle what is pending (events posted from other threads
// included) until `done` holds; false when it still does not after `ms`.
template <class F>
bool pumpUntil(F done, int ms = 60000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        wxTheApp->Yield(true);
        wxMilliSleep(5);
    }
    return true;
}

inline int focusedId() {
    wxWindow* focus = wxWindow::FindFocus();
    return focus ? focus->GetId() : wxID_NONE;
}

// Answers a message box with OK and records its text and caption.
class ExpectMessageBox : public wxExpectModalBase<wxMessageDialog, ExpectMessageBox> {
public:
    explicit ExpectMessageBox(std::string& message, std::string* caption = nullptr)
        : message_(&message), caption_(caption) {}

protected:
    int OnInvoked(wxMessageDialog* box) const override {
        *message_ = ToU8(box->GetMessage());
        if (caption_) *caption_ = ToU8(box->GetTitle());
        return wxID_OK;
    }

private:
    std::string* message_;
    std::string* caption_;
};
