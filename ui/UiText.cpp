#include "ui/UiText.h"

// wx must not convert through the C locale (which would give empty labels).
wxString U8(const char* text) { return wxString::FromUTF8(text); }
wxString U8(const std::string& text) { return wxString::FromUTF8(text.data(), text.size()); }
std::string ToU8(const wxString& text) {
    const wxScopedCharBuffer bytes = text.utf8_str();
    return std::string(bytes.data(), bytes.length());
}
