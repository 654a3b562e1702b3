#pragma once
#include <functional>

#include <wx/scrolwin.h>

// The part of the main window that holds the server rows. It scrolls when
// the rows do not fit (wheel, scroll bars, the keyboard, and by itself to
// a control that takes the focus), one row per wheel line; the column
// headers outside it follow its horizontal position through `across`.
class RowArea : public wxScrolledWindow {
public:
    explicit RowArea(wxWindow* parent);

    // One vertical scroll unit: one row (in layout units, pixels at 96 DPI).
    static constexpr int kLine = 30;
    // One horizontal unit, in layout units.
    static constexpr int kColumn = 10;

    // Told the horizontal scroll position, in pixels, whenever it changes.
    void setAcrossObserver(std::function<void(int)> across) { across_ = std::move(across); }
    // The content: everything up to this size can be scrolled into view.
    void setContentSize(int width, int height);
    // The first pixel shown, across and down.
    wxPoint viewOrigin() const;
    // True when the whole of `rect` (in the area's content coordinates)
    // is in view.
    bool shows(const wxRect& rect) const;

    void ScrollWindow(int dx, int dy, const wxRect* rect = nullptr) override;

private:
    std::function<void(int)> across_;
    int across_at_ = 0;  // the horizontal scroll position, in pixels
    // The units in this monitor's pixels.
    int line_ = kLine, column_ = kColumn;
};
