#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/ServerEntry.h"
#include "supervision/EntryCheck.h"

// The decisions of the strip that adds a server: checking the typed texts,
// proposing a name while the command line is typed, and filling the strip
// from a browsed file.

// The strip's edit controls.
constexpr int kAddNameEditId = 1004;
constexpr int kAddFileNameEditId = 1005;
constexpr int kAddCommandLineEditId = 1006;

// What a listed server is compared with.
struct ListedServer {
    std::string name;
    std::string commandline;
};

// The listed servers in ascending index order.
std::vector<ListedServer> ListedServers(const std::vector<ServerEntry>& servers);

// Result of checking the strip: the trimmed texts, and when they are refused
// the message to show and the edit control to focus.
struct NewServerCheck {
    std::string name;
    std::string processname;
    std::string commandline;
    std::string message;  // empty when the server may be added
    int focusId = 0;

    bool accepted() const { return message.empty(); }
};

// The engine's verdict on an entry (Supervisor::checkEntry) in the
// window's words, with the edit control to focus.
NewServerCheck NewServerCheckOf(const EntryCheck& check);

// Trims the three texts and checks them in this order: name, file name and
// command line not empty; then for each listed server in turn, the name and
// then the command line not already used (letter case ignored). The file
// name may repeat.
NewServerCheck CheckNewServer(std::string_view name, std::string_view fileName, std::string_view commandLine,
                              const std::vector<ListedServer>& listed);

// The name proposed while the command line is typed: the file-name text as
// it stands followed by the part of the trimmed command line after its last
// blank. None when the trimmed command line has no blank.
std::optional<std::string> ProposeServerName(std::string_view fileNameText, std::string_view commandLineText);

// The file name of the program a command line starts: its first word as
// the launcher reads it, after the last path separator. While a quote is
// still open (being typed) the text up to the first blank counts, without
// the quote. Empty for an empty command line.
std::string ProgramFileName(std::string_view commandLineText);

// What the strip fills in itself while the command line is typed. The name
// and the file name are the operator's once typed: only a field that is
// empty, or still holds what the strip itself put there, is filled. The
// file name takes the program of the command line; the name the proposal
// above (made with the file name as it then stands).
struct AddStripFields {
    std::string name;
    std::string fileName;
};
struct AddStripFill {
    std::optional<std::string> name;      // the name's new text, none to keep it
    std::optional<std::string> fileName;  // the file name's new text, none to keep it
};
AddStripFill FillAddStrip(const AddStripFields& shown, const AddStripFields& filledBefore,
                          std::string_view commandLineText);

// The strip's three texts after browsing to `path`: name and file name are
// the part after the last separator, the command line is the path. An empty
// path (the browse was cancelled) gives three empty texts.
struct BrowsedServer {
    std::string name;
    std::string fileName;
    std::string commandLine;
};
BrowsedServer SplitBrowsedPath(const std::string& path);
