#pragma once
#include <optional>
#include <string>

// Where the operator last left the main window, kept in procward.ini under
// [WINDOW] (X, Y, WIDTH, HEIGHT: the outer frame, in screen pixels), so
// that the next start opens it there.
class WindowPlace {
public:
    int x = 0, y = 0, width = 0, height = 0;

    bool operator==(const WindowPlace&) const = default;

    // The place the file holds; none when a key is missing or the size is
    // not positive.
    static std::optional<WindowPlace> read(const std::string& path);
    // Writes the four keys, leaving the rest of the file as it is.
    static bool save(const std::string& path, const WindowPlace& place, std::string& error);
};
