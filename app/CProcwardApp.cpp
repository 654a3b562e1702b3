#include "app/CProcwardApp.h"

#include <wx/msgdlg.h>

#include "app/core/Startup.h"
#include "log/AppLogger.h"
#include "ui/CProcwardDlg.h"
#include "ui/DialogTemplate.h"

namespace {
const char* const kNoLogMessage = "无法打开日志，Procward 没有启动：\n";
}  // namespace

bool CProcwardApp::OnInit() {
    // A second copy ends at once: no window, no log line.
    std::string error;
    m_startup = RunStartupSteps(error);
    // The toolkit's own boxes carry the same caption as the program's.
    SetAppName(U8(AppLogger::applicationName()));
    SetAppDisplayName(U8(AppLogger::applicationName()));
    if (m_startup == StartupResult::NoLog)
        wxMessageBox(U8(kNoLogMessage + error), U8(AppLogger::applicationName()), wxOK | wxICON_ERROR);
    return true;
}

int CProcwardApp::OnRun() {
    if (m_startup == StartupResult::AlreadyRunning) return 0;
    if (m_startup == StartupResult::NoLog) return 1;
    // The window's own loop keeps the program alive while the window is
    // hidden; only "退出" in the tray menu or Escape end it. Its end gives
    // ctl its answers and the mails on their way their grace.
    CProcwardDlg dialog;
    dialog.WatchStopRequests();
    SetTopWindow(&dialog);
    dialog.Run();
    SetTopWindow(nullptr);
    return 0;
}
