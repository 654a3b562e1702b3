#include "ui/MainWindowGlobals.h"
#include "ui/UiText.h"

#include <algorithm>

#include <wx/settings.h>
#include <wx/window.h>

wxFont g_rowFont;
int g_rowOriginX = 0;
int g_rowOriginY = 0;

int RowFontHeight() {
    // The desktop's own font, in pixels at 96 DPI: a larger one chosen by
    // the operator makes the rows' text larger too, as far as the rows'
    // height leaves it room.
    const wxFont system = wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT);
    const double points = system.IsOk() ? system.GetFractionalPointSize() : 0.0;
    const int pixels = static_cast<int>(points * 96.0 / 72.0 + 0.5);
    return std::clamp(pixels, kRowFontHeight, kLargestRowFontHeight);
}

void CreateRowFont(const wxWindow& window) {
    wxFont font(
        wxFontInfo(wxSize(0, window.FromDIP(RowFontHeight()))).Family(wxFONTFAMILY_SWISS).FaceName(U8("Arial")));
    font.SetNumericWeight(500);
    g_rowFont = font;
}
