#pragma once
#include <wx/string.h>

// The caption of every message box that does not name its own: the
// application name, which is the executable's file name without extension
// (the same name as the log's).
wxString ApplicationCaption();
