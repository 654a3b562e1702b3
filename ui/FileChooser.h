#pragma once
#include <string>

class wxWindow;

// Asks the operator for a file. The main window goes through it so that
// tests can stand in for the operator (the toolkit's own dialog cannot be
// answered with a chosen path by its test hooks).
class FileChooser {
public:
    virtual ~FileChooser() = default;
    // The chosen file's full path; empty when the operator cancelled.
    // `filter` pairs descriptions and patterns: "Text (*.txt)|*.txt|...".
    virtual std::string chooseFile(wxWindow* parent, const std::string& filter) = 0;

    // The toolkit's file-open dialog.
    static FileChooser& Instance();
};
