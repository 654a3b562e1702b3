#include "ui/model/WindowPlacement.h"

#include <algorithm>

namespace WindowPlacement {

namespace {

// The part of a title bar that must be on a screen: enough to grab.
constexpr int kTitleBarHeight = 24;
constexpr int kGrabWidth = 80;

int overlap(int start1, int length1, int start2, int length2) {
    return std::max(0, std::min(start1 + length1, start2 + length2) - std::max(start1, start2));
}

// The window made no larger than the area (nor smaller than the minimum,
// unless the area itself is smaller: a screen scaled up, or a small one,
// must still show the whole window, its frame and its scroll bars) and
// moved so that it lies inside it.
Box inside(Box window, const Box& area, const Box& minimum) {
    window.width = std::min(std::max(window.width, minimum.width), area.width);
    window.height = std::min(std::max(window.height, minimum.height), area.height);
    window.x = std::max(area.x, std::min(window.x, area.x + area.width - window.width));
    window.y = std::max(area.y, std::min(window.y, area.y + area.height - window.height));
    return window;
}

}  // namespace

Box areaOf(const Box& window, const std::vector<Box>& workAreas) {
    if (workAreas.empty()) return window;
    const Box* best = &workAreas.front();
    long long bestCover = -1;
    for (const Box& area : workAreas) {
        const long long cover = static_cast<long long>(overlap(window.x, window.width, area.x, area.width)) *
                                overlap(window.y, window.height, area.y, area.height);
        if (cover > bestCover) {
            bestCover = cover;
            best = &area;
        }
    }
    return *best;
}

Box opening(const std::optional<Box>& remembered, Box fitted, const std::vector<Box>& workAreas, Box minimum) {
    if (workAreas.empty()) return remembered.value_or(fitted);
    if (remembered) {
        for (const Box& area : workAreas) {
            const int across = overlap(remembered->x, remembered->width, area.x, area.width);
            const int down = overlap(remembered->y, kTitleBarHeight, area.y, area.height);
            if (across >= std::min(kGrabWidth, remembered->width) && down > 0)
                return inside(*remembered, area, minimum);
        }
    }
    const Box& primary = workAreas.front();
    Box window = inside(fitted, primary, minimum);
    window.x = primary.x + (primary.width - window.width) / 2;
    window.y = primary.y + (primary.height - window.height) / 2;
    return window;
}

Box refit(Box current, int height, Box workArea, Box minimum) {
    current.height = height;
    return inside(current, workArea, minimum);
}

}  // namespace WindowPlacement
