#include "ui/RowArea.h"

RowArea::RowArea(wxWindow* parent)
    : wxScrolledWindow(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxHSCROLL | wxVSCROLL | wxTAB_TRAVERSAL) {
    line_ = FromDIP(kLine);
    column_ = FromDIP(kColumn);
    SetScrollRate(column_, line_);
    // Scroll bars only when the rows need them.
    ShowScrollbars(wxSHOW_SB_DEFAULT, wxSHOW_SB_DEFAULT);
}

void RowArea::setContentSize(int width, int height) {
    SetVirtualSize(width, height);
    // A change of size may have moved the view (fewer rows); the headers follow.
    across_at_ = viewOrigin().x;
    if (across_) across_(across_at_);
}

wxPoint RowArea::viewOrigin() const {
    int x = 0, y = 0;
    GetViewStart(&x, &y);
    return wxPoint(x * column_, y * line_);
}

bool RowArea::shows(const wxRect& rect) const {
    const wxRect view(viewOrigin(), GetClientSize());
    return view.Contains(rect);
}

void RowArea::ScrollWindow(int dx, int dy, const wxRect* rect) {
    wxScrolledWindow::ScrollWindow(dx, dy, rect);
    // The view's start is updated only after the content has moved: the
    // distance moved is what tells where the view is now.
    across_at_ -= dx;
    if (dx != 0 && across_) across_(across_at_);
}
