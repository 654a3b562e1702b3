#include "ui/AppIcon.h"

#include <cstdlib>

#include <wx/icon.h>
#include <wx/image.h>

#include "ui/AppIconData.h"

namespace {
void needPngSupport() {
    if (!wxImage::FindHandler(wxBITMAP_TYPE_PNG)) wxImage::AddHandler(new wxPNGHandler);
}
}  // namespace

wxBitmap ProcwardBitmap(int size) {
    needPngSupport();
    const AppIconData::Image* best = &AppIconData::images[0];
    for (const auto& image : AppIconData::images)
        if (std::abs(image.size - size) < std::abs(best->size - size)) best = &image;
    return wxBitmap::NewFromPNGData(best->data, best->length);
}

wxIconBundle ProcwardIcons() {
    needPngSupport();
    wxIconBundle bundle;
    for (const auto& image : AppIconData::images) {
        wxIcon icon;
        icon.CopyFromBitmap(wxBitmap::NewFromPNGData(image.data, image.length));
        bundle.AddIcon(icon);
    }
    return bundle;
}
