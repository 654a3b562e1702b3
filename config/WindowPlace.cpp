#include "config/WindowPlace.h"

#include "config/ProfileFile.h"

namespace {
constexpr const char* kWindow = "WINDOW";
constexpr const char* kKeys[4] = {"X", "Y", "WIDTH", "HEIGHT"};
// Nothing a screen could show is this large; a larger value is a mistake.
constexpr std::int64_t kLargest = 1 << 20;
}  // namespace

std::optional<WindowPlace> WindowPlace::read(const std::string& path) {
    const ProfileFile file(path);
    int values[4] = {};
    for (int i = 0; i < 4; ++i) {
        // A missing key reads as a value no key can hold.
        const std::int64_t value = file.getInt64(kWindow, kKeys[i], kLargest + 1);
        if (value > kLargest || value < -kLargest) return std::nullopt;
        values[i] = static_cast<int>(value);
    }
    WindowPlace place{values[0], values[1], values[2], values[3]};
    if (place.width <= 0 || place.height <= 0) return std::nullopt;
    return place;
}

bool WindowPlace::save(const std::string& path, const WindowPlace& place, std::string& error) {
    ProfileFile file(path);
    const int values[4] = {place.x, place.y, place.width, place.height};
    for (int i = 0; i < 4; ++i) file.setString(kWindow, kKeys[i], std::to_string(values[i]));
    std::string reason;
    if (file.save(reason)) return true;
    error = path + ": " + reason;
    return false;
}
