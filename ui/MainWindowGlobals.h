#pragma once
#include <wx/font.h>

// Shared by the main window and every server row: the font of the rows and
// of the bottom buttons, and the layout origin in the window's layout units
// (pixels at 96 DPI; see MainLayout).
extern wxFont g_rowFont;
extern int g_rowOriginX;
extern int g_rowOriginY;

class wxWindow;

// Creates g_rowFont: "Arial", 13 pixels high at 96 DPI (or as high as the
// desktop's font when that is larger, up to 17, which the 22 pixels of a
// row still hold) and as much larger as `window`'s monitor is, weight 500
// (the toolkit picks a fallback face where Arial is missing).
void CreateRowFont(const wxWindow& window);
constexpr int kRowFontHeight = 13;
constexpr int kLargestRowFontHeight = 17;
// The row font's height in pixels at 96 DPI, after the desktop's font.
int RowFontHeight();
