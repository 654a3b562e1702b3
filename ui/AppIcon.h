#pragma once
#include <wx/bitmap.h>
#include <wx/iconbndl.h>

// The application icon, embedded in the executable, in the sizes the
// desktop uses (16, 24, 32, 48 and 256 pixels), and its alarm picture: the
// same icon with a red badge, which the tray shows while a server that
// should run is down.
enum class IconPicture { Normal, Alarm };

wxIconBundle ProcwardIcons(IconPicture picture = IconPicture::Normal);
// The picture closest to `size` pixels.
wxBitmap ProcwardBitmap(int size, IconPicture picture = IconPicture::Normal);
