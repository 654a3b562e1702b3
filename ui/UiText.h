#pragma once
#include <string>

#include <wx/string.h>

// The program's texts (UTF-8 on every system, in the sources' literals and
// in what the program reads) as the toolkit shows them, and back. The
// toolkit holds wide strings, so a label comes out right whatever the
// system's code page.
wxString U8(const char* text);
wxString U8(const std::string& text);
std::string ToU8(const wxString& text);
