#pragma once
#include <wx/app.h>

// The application: takes the single-instance guard, prepares the working
// directory and the log, then runs the main window until it ends (closing
// the window only hides it).
class CProcwardApp : public wxApp {
public:
    bool OnInit() override;
    int OnRun() override;

private:
    bool m_firstInstance = false;
};
