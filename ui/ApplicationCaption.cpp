#include "ui/ApplicationCaption.h"

#include "log/AppLogger.h"
#include "ui/DialogTemplate.h"

wxString ApplicationCaption() { return U8(AppLogger::applicationName()); }
