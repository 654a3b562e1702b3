#include "ui/model/MainLayout.h"

#include <cstdint>

namespace MainLayout {

int originY(int groupBoxHeight) { return groupBoxHeight + kOriginYBelowGroupBox; }

Rect rowControl(int originY, int index, RowControl control) {
    const Extent e = kRowExtents[control];
    return {kOriginX + e.left, originY + kRowPitch * index, e.right - e.left, kRowHeight};
}

Rect header(int originY, int column) {
    const Extent e = kHeaderExtents[static_cast<std::size_t>(column)];
    return {kOriginX + e.left, originY, e.right - e.left, kHeaderHeight};
}

Relayout relayout(int originY, int servers, int commandLineEditLeft, int commandLineEditTop) {
    Relayout r;
    const int w = kOriginX + 1355;
    r.windowWidth = w + 180;
    r.windowHeight = originY + kRowPitch * servers + 128;
    const int bottom = originY + kRowPitch * servers + 30;
    const int bottomLefts[5] = {w - 225, w - 155, w - 85, w - 15, w + 55};
    for (int i = 0; i < 5; ++i) r.bottomButtons[static_cast<std::size_t>(i)] = {bottomLefts[i], bottom, 60, 25};
    r.restoreButton = {w - 295, bottom, 60, 25};
    r.eventsButton = {w - 365, bottom, 60, 25};
    r.commandLineEditWidth = w - commandLineEditLeft - 148;
    const int topLefts[3] = {w - 135, w - 55, w + 55};
    for (int i = 0; i < 3; ++i) r.topButtons[static_cast<std::size_t>(i)] = {topLefts[i], commandLineEditTop, 60, 23};
    return r;
}

int minClientHeight(int originY) { return originY + kHeaderHeight + kMinRowAreaHeight + kBelowRows; }

int rowAreaContentHeight(int highestIndex) {
    // The last row, and below it the gap the template leaves above the
    // bottom buttons.
    return kRowPitch * (highestIndex < 0 ? 0 : highestIndex) + 5;
}

Arrangement arrange(int originY, int highestIndex, int clientWidth, int clientHeight, int commandLineEditLeft,
                    int commandLineEditTop, int groupBoxWidth, Rect reminder, int scrollBar) {
    Arrangement a;
    // The template's places at the natural width; then what stands right
    // of the command-line edit moves left by as much as the window is
    // narrower.
    const Relayout natural = relayout(originY, 0, commandLineEditLeft, commandLineEditTop);
    // Below the smallest width the controls stay where they are at that
    // width (before the window is first sized its client area may be tiny).
    const int width = clientWidth < kMinClientWidth ? kMinClientWidth : clientWidth;
    a.shift = width < kNaturalClientWidth ? width - kNaturalClientWidth : 0;
    a.header = {0, originY, clientWidth, kHeaderHeight};

    const int top = originY + kHeaderHeight;
    int wanted = rowAreaContentHeight(highestIndex);
    if (clientWidth < kRowsClientWidth) wanted += scrollBar;  // the horizontal bar takes a line
    const int room = clientHeight - top - kBelowRows;
    const int height = wanted <= room ? wanted : (room < kMinRowAreaHeight ? kMinRowAreaHeight : room);
    a.rowArea = {0, top, clientWidth, height};

    const int bottom = top + height;
    for (std::size_t i = 0; i < a.bottomButtons.size(); ++i) {
        a.bottomButtons[i] = natural.bottomButtons[i];
        a.bottomButtons[i].left += a.shift;
        a.bottomButtons[i].top = bottom;
    }
    a.restoreButton = natural.restoreButton;
    a.restoreButton.left += a.shift;
    a.restoreButton.top = bottom;
    a.eventsButton = natural.eventsButton;
    a.eventsButton.left += a.shift;
    a.eventsButton.top = bottom;
    for (std::size_t i = 0; i < a.topButtons.size(); ++i) {
        a.topButtons[i] = natural.topButtons[i];
        a.topButtons[i].left += a.shift;
    }
    const int editWidth = natural.commandLineEditWidth + a.shift;
    a.commandLineEditWidth = editWidth < 40 ? 40 : editWidth;
    a.groupBoxWidth = groupBoxWidth + a.shift;
    // Beside the captions the reminder only fits at the natural width: in a
    // narrower window the captions scroll with the rows while the reminder
    // would move left over them. It goes below the rows instead, on the line
    // of the bottom buttons, where the left side is free.
    a.reminder = reminder;
    if (a.shift < 0) {
        const Rect& button = a.eventsButton;
        a.reminder.left = kOriginX;
        a.reminder.top = bottom + (button.height - reminder.height) / 2;
        if (a.reminder.left + a.reminder.width > button.left) a.reminder.width = button.left - a.reminder.left;
    }
    return a;
}

}  // namespace MainLayout
