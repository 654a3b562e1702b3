#include "platform/FileStore.h"

namespace platform {

std::filesystem::path filePath(const std::string& text) {
    // char8_t text is UTF-8 by definition: the library converts it to the
    // system's own form of a path (the same bytes here, UTF-16 on Windows).
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::string pathText(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

}  // namespace platform
