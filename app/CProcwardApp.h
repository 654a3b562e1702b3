#pragma once
#include <wx/app.h>

#include "app/core/Startup.h"

// The application: takes the single-instance guard, prepares the working
// directory and the log, then runs the main window until it ends (closing
// the window only hides it). A log that cannot be opened is shown in a box
// and ends the program.
class CProcwardApp : public wxApp {
public:
    bool OnInit() override;
    int OnRun() override;

private:
    StartupResult m_startup = StartupResult::AlreadyRunning;
};
