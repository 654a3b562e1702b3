#pragma once
#include <wx/bitmap.h>
#include <wx/dialog.h>

class wxStaticBitmap;

// The about box: the application icon, the version line and OK.
class CAboutDlg : public wxDialog {
public:
    static constexpr int IDD = 100;

    // `icon` is the application icon (none when null).
    explicit CAboutDlg(wxWindow* parent = nullptr, const wxBitmap& icon = wxNullBitmap);

    void SetAboutIcon(const wxBitmap& icon);

private:
    wxStaticBitmap* m_icon;
};
