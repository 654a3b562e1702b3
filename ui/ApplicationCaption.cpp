#include "ui/ApplicationCaption.h"

#include "ui/UiText.h"

// The program's own name, as the window's title spells it: the executable's
// file name is lower case on Linux ("procward"), which reads as a fault in a
// box the operator has to answer.
wxString ApplicationCaption() { return U8("Procward"); }
