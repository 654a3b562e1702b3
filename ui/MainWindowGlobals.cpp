#include "ui/MainWindowGlobals.h"
#include "ui/UiText.h"

#include <wx/window.h>

wxFont g_rowFont;
int g_rowOriginX = 0;
int g_rowOriginY = 0;

void CreateRowFont(const wxWindow& window) {
    wxFont font(wxFontInfo(wxSize(0, window.FromDIP(13))).Family(wxFONTFAMILY_SWISS).FaceName(U8("Arial")));
    font.SetNumericWeight(500);
    g_rowFont = font;
}
