#pragma once
#include <wx/font.h>

// Shared by the main window and every server row: the font of the rows and
// of the bottom buttons, and the layout origin in client pixels.
extern wxFont g_rowFont;
extern int g_rowOriginX;
extern int g_rowOriginY;

// Creates g_rowFont: "Arial", 13 pixels high, weight 500 (the toolkit picks
// a fallback face where Arial is missing).
void CreateRowFont();
