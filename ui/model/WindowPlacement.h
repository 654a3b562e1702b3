#pragma once
#include <optional>
#include <vector>

// Where the main window goes on the screens it has: always whole on one
// screen's work area (the part the desktop's panels leave free).
namespace WindowPlacement {

struct Box {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const Box&) const = default;
};

// A remembered place counts when a good part of its title bar lies on some
// work area (the operator can grab it there); it is then kept, made no
// larger than that area and moved into it. Otherwise the window gets the
// `fitted` size, made no larger than the first work area (the primary
// screen's), and is centred on that area. Never smaller than `minimum`,
// unless the work area is: then as large as the work area.
Box opening(const std::optional<Box>& remembered, Box fitted, const std::vector<Box>& workAreas, Box minimum);

// The window `current` takes a new height (the rows changed): no larger
// than `workArea`, its top left corner kept unless the window would then
// reach below the area, in which case it moves up.
Box refit(Box current, int height, Box workArea, Box minimum);

// The work area that holds most of `window` (the first when none does).
Box areaOf(const Box& window, const std::vector<Box>& workAreas);

}  // namespace WindowPlacement
