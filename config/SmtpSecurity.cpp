#include "config/SmtpSecurity.h"

#include "platform/Text.h"

namespace {
constexpr SmtpSecurity kModes[] = {SmtpSecurity::Auto, SmtpSecurity::StartTls, SmtpSecurity::Tls, SmtpSecurity::None};
}  // namespace

const char* SmtpSecurityName(SmtpSecurity security) {
    switch (security) {
        case SmtpSecurity::StartTls: return "starttls";
        case SmtpSecurity::Tls: return "tls";
        case SmtpSecurity::None: return "none";
        case SmtpSecurity::Auto: break;
    }
    return "auto";
}

bool ParseSmtpSecurity(std::string_view text, SmtpSecurity& security) {
    const std::string trimmed = platform::trimWhite(text);
    for (const SmtpSecurity mode : kModes) {
        if (platform::equalsNoCase(trimmed, SmtpSecurityName(mode))) {
            security = mode;
            return true;
        }
    }
    return false;
}
