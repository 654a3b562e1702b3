// Runs the window tests with wx started but without its main loop; modal
// dialogs are answered through wx's test hooks (wx/testing.h).
#include <cstdlib>
#include <filesystem>

#include <wx/app.h>
#include <wx/init.h>

#include <gtest/gtest.h>

#include "tests/support/TempDir.h"

class GuiTestApp : public wxApp {
public:
    bool OnInit() override { return true; }
};

namespace {
// A failed wx assertion fails the test instead of opening a message box
// that nobody answers.
void failOnAssert(const wxString& file, int line, const wxString& func, const wxString& cond, const wxString& msg) {
    ADD_FAILURE_AT(file.utf8_str(), line) << "wx assertion failed in " << func.utf8_str() << ": " << cond.utf8_str()
                                          << " " << msg.utf8_str();
}
}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Listing the tests needs no display.
    if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
    // The main window registers itself to start at logon: keep that entry
    // out of the machine's own configuration.
    TempDir config;
    ::setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);

    wxApp::SetInstance(new GuiTestApp);
    if (!wxEntryStart(argc, argv) || !wxTheApp->CallOnInit()) {
        std::fprintf(stderr, "cannot start wx (is a display available?)\n");
        return 1;
    }
    wxSetAssertHandler(failOnAssert);
    const int result = RUN_ALL_TESTS();
    wxTheApp->OnExit();
    wxEntryCleanup();
    return result;
}
