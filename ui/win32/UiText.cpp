#include "ui/UiText.h"

#include <wx/strconv.h>

// The ANSI code page of the system (CP_ACP), which the program's texts and
// files are in; characters the code page lacks come back as '?'.
wxString U8(const char* text) { return wxString(text, wxConvLocal); }
wxString U8(const std::string& text) { return wxString(text.data(), wxConvLocal, text.size()); }
std::string ToU8(const wxString& text) {
    const wxScopedCharBuffer bytes = text.mb_str(wxConvLocal);
    return std::string(bytes.data(), bytes.length());
}
