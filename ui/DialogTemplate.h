#pragma once
#include <wx/button.h>
#include <wx/dialog.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/string.h>
#include <wx/textctrl.h>

#include "ui/UiText.h"

// Lays out a dialog from its template: control rectangles are given in
// dialog units, converted with the dialog's font as the dialog framework
// does.
class DialogTemplate {
public:
    // Gives the dialog the template font (a small sans-serif face standing in
    // for "MS Shell Dlg" 8) and the client size of the template (none when
    // the size is 0: the toolkit then keeps a window from shrinking below
    // the size it was first given, which a window sized by its contents
    // must avoid).
    DialogTemplate(wxDialog* dialog, int width, int height);

    wxRect rect(int x, int y, int width, int height) const;

    wxStaticBox* groupBox(int id, const char* text, int x, int y, int width, int height);
    wxStaticText* label(int id, const char* text, int x, int y, int width, int height);
    wxTextCtrl* edit(int id, int x, int y, int width, int height, long style = 0);
    wxButton* button(int id, const char* text, int x, int y, int width, int height);

private:
    wxDialog* dialog_;
};
