#include "ui/CAboutDlg.h"
#include "ui/UiText.h"

#include <wx/statbmp.h>

#include "ui/DialogTemplate.h"

CAboutDlg::CAboutDlg(wxWindow* parent, const wxBitmap& icon)
    : wxDialog(parent, wxID_ANY, U8("About Procward"), wxDefaultPosition, wxDefaultSize,
               wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX) {
    DialogTemplate layout(this, 170, 62);
    m_icon = new wxStaticBitmap(this, wxID_ANY, icon, layout.rect(14, 14, 21, 20).GetPosition());
    layout.label(wxID_ANY, "Procward, Version 1.0", 42, 14, 114, 8);
    layout.button(wxID_OK, "OK", 113, 41, 50, 14)->SetDefault();
}

void CAboutDlg::SetAboutIcon(const wxBitmap& icon) { m_icon->SetBitmap(icon); }
