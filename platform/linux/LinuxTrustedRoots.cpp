#include "platform/TrustedRoots.h"

namespace platform {

std::vector<std::string> systemRootCertificates() { return {}; }

}  // namespace platform
