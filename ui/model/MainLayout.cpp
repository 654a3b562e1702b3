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
    r.commandLineEditWidth = w - commandLineEditLeft - 148;
    const int topLefts[3] = {w - 135, w - 55, w + 55};
    for (int i = 0; i < 3; ++i)
        r.topButtons[static_cast<std::size_t>(i)] = {topLefts[i], commandLineEditTop, 60, 23};
    return r;
}

}  // namespace MainLayout
