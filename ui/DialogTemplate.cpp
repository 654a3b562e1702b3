#include "ui/DialogTemplate.h"

#include <wx/font.h>

DialogTemplate::DialogTemplate(wxDialog* dialog, int width, int height) : dialog_(dialog) {
    // 7.5 points of the desktop's sans-serif face give the base units of the
    // original template font (6 x 13 pixels at 96 dots per inch), so the
    // templates keep their proportions next to the rows, which are laid out
    // in pixels.
    dialog_->SetFont(wxFontInfo(7.5).Family(wxFONTFAMILY_SWISS));
    if (width > 0 && height > 0) dialog_->SetClientSize(dialog_->ConvertDialogToPixels(wxSize(width, height)));
}

wxRect DialogTemplate::rect(int x, int y, int width, int height) const {
    return wxRect(dialog_->ConvertDialogToPixels(wxPoint(x, y)), dialog_->ConvertDialogToPixels(wxSize(width, height)));
}

wxStaticBox* DialogTemplate::groupBox(int id, const char* text, int x, int y, int width, int height) {
    const wxRect r = rect(x, y, width, height);
    return new wxStaticBox(dialog_, id, U8(text), r.GetPosition(), r.GetSize());
}

wxStaticText* DialogTemplate::label(int id, const char* text, int x, int y, int width, int height) {
    const wxRect r = rect(x, y, width, height);
    return new wxStaticText(dialog_, id, U8(text), r.GetPosition(), r.GetSize(), wxST_NO_AUTORESIZE);
}

wxTextCtrl* DialogTemplate::edit(int id, int x, int y, int width, int height, long style) {
    const wxRect r = rect(x, y, width, height);
    return new wxTextCtrl(dialog_, id, wxString(), r.GetPosition(), r.GetSize(), style);
}

wxButton* DialogTemplate::button(int id, const char* text, int x, int y, int width, int height) {
    const wxRect r = rect(x, y, width, height);
    return new wxButton(dialog_, id, U8(text), r.GetPosition(), r.GetSize());
}
