#include <wx/dialog.h>

#include <gtest/gtest.h>

#include "ui/DialogTemplate.h"

namespace {

TEST(DialogTemplateTest, ConvertsDialogUnitsWithTheTemplateFont) {
    wxDialog dialog(nullptr, wxID_ANY, "t");
    DialogTemplate layout(&dialog, 200, 100);
    EXPECT_EQ(dialog.ConvertDialogToPixels(wxSize(200, 100)), dialog.GetClientSize());
    const wxRect r = layout.rect(4, 8, 40, 16);
    EXPECT_EQ(dialog.ConvertDialogToPixels(wxPoint(4, 8)), r.GetPosition());
    // A dialog unit is a quarter of the average character width and an
    // eighth of the character height.
    EXPECT_NEAR(dialog.GetCharWidth() * 10, r.width, dialog.GetCharWidth() * 3);
    EXPECT_NEAR(dialog.GetCharHeight() * 2, r.height, 2);
}

TEST(DialogTemplateTest, ChineseLabelsAreNotEmpty) {
    wxDialog dialog(nullptr, wxID_ANY, "t");
    DialogTemplate layout(&dialog, 200, 100);
    wxStaticText* label = layout.label(wxID_ANY, "名称：", 1, 1, 30, 8);
    EXPECT_EQ(3u, label->GetLabel().length());
    EXPECT_EQ("名称：", ToU8(label->GetLabel()));
}

}  // namespace
