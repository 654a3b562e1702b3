#include "app/CProcwardApp.h"

#include "app/core/Startup.h"
#include "mail/MailDelivery.h"
#include "ui/CProcwardDlg.h"

bool CProcwardApp::OnInit() {
    // A second copy ends at once: no window, no log line.
    m_firstInstance = RunStartupSteps();
    return true;
}

int CProcwardApp::OnRun() {
    if (!m_firstInstance) return 0;
    CProcwardDlg dialog;
    SetTopWindow(&dialog);
    dialog.OnInitDialog();
    dialog.ShowModal();
    SetTopWindow(nullptr);
    MailDelivery::Process().shutdown();
    return 0;
}
