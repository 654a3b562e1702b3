#pragma once
#include <wx/string.h>

// The caption of every message box that does not name its own: "Procward",
// as the main window's title reads.
wxString ApplicationCaption();
