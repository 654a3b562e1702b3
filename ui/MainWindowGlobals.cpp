#include "ui/MainWindowGlobals.h"
#include "ui/UiText.h"

wxFont g_rowFont;
int g_rowOriginX = 0;
int g_rowOriginY = 0;

void CreateRowFont() {
    wxFont font(wxFontInfo(wxSize(0, 13)).Family(wxFONTFAMILY_SWISS).FaceName(U8("Arial")));
    font.SetNumericWeight(500);
    g_rowFont = font;
}
