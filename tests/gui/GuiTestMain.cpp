// Runs the window tests with wx started but without its main loop; modal
// dialogs are answered through wx's test hooks (wx/testing.h).
#include <wx/app.h>
#include <wx/init.h>

#include <gtest/gtest.h>

class GuiTestApp : public wxApp {
public:
    bool OnInit() override { return true; }
};

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Listing the tests needs no display.
    if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
    wxApp::SetInstance(new GuiTestApp);
    if (!wxEntryStart(argc, argv) || !wxTheApp->CallOnInit()) {
        std::fprintf(stderr, "cannot start wx (is a display available?)\n");
        return 1;
    }
    const int result = RUN_ALL_TESTS();
    wxTheApp->OnExit();
    wxEntryCleanup();
    return result;
}
