#include "ui/FileChooser.h"

#include <wx/filedlg.h>

#include "ui/DialogTemplate.h"

namespace {

// The file-open dialog of the toolkit. Trailing empty entries of the
// filter are dropped, and "*.*" (every file, where names carry extensions)
// becomes "*", since file names here need not hold a dot.
class StandardFileChooser : public FileChooser {
public:
    std::string chooseFile(wxWindow* parent, const std::string& filter) override {
        std::string wildcard = filter;
        while (!wildcard.empty() && wildcard.back() == '|') wildcard.pop_back();
        for (std::size_t at = wildcard.find("|*.*"); at != std::string::npos; at = wildcard.find("|*.*", at + 2))
            if (at + 4 == wildcard.size() || wildcard[at + 4] == '|') wildcard.replace(at, 4, "|*");
        wxFileDialog dialog(parent, wxString::FromAscii(wxFileSelectorPromptStr), wxString(), wxString(), U8(wildcard),
                            wxFD_OPEN | wxFD_FILE_MUST_EXIST);
        if (dialog.ShowModal() != wxID_OK) return {};
        return ToU8(dialog.GetPath());
    }
};

}  // namespace

FileChooser& FileChooser::Instance() {
    static StandardFileChooser chooser;
    return chooser;
}
