#include "app/CProcwardApp.h"

#include "app/core/Startup.h"
#include "mail/MailDelivery.h"
#include "log/AppLogger.h"
#include "ui/CProcwardDlg.h"
#include "ui/DialogTemplate.h"

bool CProcwardApp::OnInit() {
    // A second copy ends at once: no window, no log line.
    m_firstInstance = RunStartupSteps();
    // The toolkit's own boxes carry the same caption as the program's.
    SetAppName(U8(AppLogger::applicationName()));
    SetAppDisplayName(U8(AppLogger::applicationName()));
    return true;
}

int CProcwardApp::OnRun() {
    if (!m_firstInstance) return 0;
    // The window's own loop keeps the program alive while the window is
    // hidden; only "退出" in the tray menu or Escape end it.
    CProcwardDlg dialog;
    SetTopWindow(&dialog);
    dialog.Run();
    SetTopWindow(nullptr);
    MailDelivery::Process().shutdown();
    return 0;
}
