#include "ui/AppIcon.h"

#include <cstdlib>
#include <iterator>

#include <wx/icon.h>
#include <wx/image.h>

#include "ui/AppIconData.h"

namespace {
void needPngSupport() {
    if (!wxImage::FindHandler(wxBITMAP_TYPE_PNG)) wxImage::AddHandler(new wxPNGHandler);
}

struct ImageSet {
    const AppIconData::Image* begin;
    const AppIconData::Image* end;
};

ImageSet imagesOf(IconPicture picture) {
    if (picture == IconPicture::Alarm)
        return {std::begin(AppIconData::alarmImages), std::end(AppIconData::alarmImages)};
    return {std::begin(AppIconData::images), std::end(AppIconData::images)};
}
}  // namespace

wxBitmap ProcwardBitmap(int size, IconPicture picture) {
    needPngSupport();
    const ImageSet set = imagesOf(picture);
    const AppIconData::Image* best = set.begin;
    for (const AppIconData::Image* image = set.begin; image != set.end; ++image)
        if (std::abs(image->size - size) < std::abs(best->size - size)) best = image;
    return wxBitmap::NewFromPNGData(best->data, best->length);
}

wxIconBundle ProcwardIcons(IconPicture picture) {
    needPngSupport();
    wxIconBundle bundle;
    const ImageSet set = imagesOf(picture);
    for (const AppIconData::Image* image = set.begin; image != set.end; ++image) {
        wxIcon icon;
        icon.CopyFromBitmap(wxBitmap::NewFromPNGData(image->data, image->length));
        bundle.AddIcon(icon);
    }
    return bundle;
}
