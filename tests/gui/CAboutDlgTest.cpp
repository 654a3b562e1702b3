#include <wx/artprov.h>
#include <wx/statbmp.h>

#include <gtest/gtest.h>

#include "tests/gui/DialogDriving.h"
#include "ui/CAboutDlg.h"

namespace {

const wxStaticBitmap* iconOf(wxWindow* dialog) {
    for (wxWindow* child : dialog->GetChildren())
        if (auto* bitmap = dynamic_cast<wxStaticBitmap*>(child)) return bitmap;
    return nullptr;
}

TEST(CAboutDlgTest, ShowsTheIconTheVersionAndOk) {
    const wxBitmap icon = wxArtProvider::GetBitmap(wxART_INFORMATION, wxART_MESSAGE_BOX, wxSize(32, 32));
    ASSERT_TRUE(icon.IsOk());
    CAboutDlg dialog(nullptr, icon);
    EXPECT_EQ("About Procward", ToU8(dialog.GetTitle()));
    EXPECT_EQ(dialog.ConvertDialogToPixels(wxSize(170, 62)), dialog.GetClientSize());
    EXPECT_EQ((std::vector<std::string>{"Procward, Version 1.0"}), labelsOf(&dialog));
    ASSERT_NE(nullptr, iconOf(&dialog));
    EXPECT_EQ(wxSize(32, 32), iconOf(&dialog)->GetBitmap().GetSize());
    EXPECT_EQ(buttonOf(&dialog, wxID_OK), dialog.GetDefaultItem());
    EXPECT_EQ("OK", ToU8(buttonOf(&dialog, wxID_OK)->GetLabel()));

    dialog.CallAfter([&] { clickButton(&dialog, wxID_OK); });
    EXPECT_EQ(wxID_OK, dialog.ShowModal());
}

TEST(CAboutDlgTest, TakesTheIconLater) {
    CAboutDlg dialog;
    EXPECT_FALSE(iconOf(&dialog)->GetBitmap().IsOk());
    dialog.SetAboutIcon(wxArtProvider::GetBitmap(wxART_INFORMATION, wxART_MESSAGE_BOX, wxSize(48, 48)));
    EXPECT_EQ(wxSize(48, 48), iconOf(&dialog)->GetBitmap().GetSize());
}

}  // namespace
