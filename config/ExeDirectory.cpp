#include "config/ExeDirectory.h"

#include "platform/System.h"

std::string GetExeDirectory() {
    const std::string path = platform::executablePath();
    const auto slash = path.find_last_of(platform::pathSeparator());
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}
