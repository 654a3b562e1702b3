#pragma once
#include <wx/bitmap.h>
#include <wx/iconbndl.h>

// The application icon, embedded in the executable, in the sizes the
// desktop uses (16, 24, 32, 48 and 256 pixels).
wxIconBundle ProcwardIcons();
// The picture closest to `size` pixels.
wxBitmap ProcwardBitmap(int size);
