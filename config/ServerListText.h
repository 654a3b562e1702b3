#pragma once
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <rapidjson/document.h>

#include "config/HealthCheckEdit.h"

// The text of a server list file with its parse: the document to read values
// from, and where the elements of the top array, the members of those
// elements and the members of their object values sit in the text. A change
// gives a new text that differs from the old one only where the change needs
// it: unknown keys, the layout and numbers exactly as written stay as the
// operator left them. New parts follow the file's style: no white space in
// a file of one line, else its line ends and its indentation.
//
// Parsing never recurses, so no nesting depth can exhaust the stack, and no
// change serialises what it did not make.
class ServerListText {
public:
    // Members of a new object: each a key and a JSON text of its value.
    using Members = std::vector<std::pair<std::string, std::string>>;

    // Parses `text`, which must hold one JSON array. Otherwise false, with
    // `error` "line L, column C: reason".
    bool parse(std::string text, std::string& error);

    const std::string& text() const { return text_; }
    // An array after a successful parse.
    const rapidjson::Document& document() const { return document_; }

    // Changed texts. `element` is a position in the top array; the changes
    // of an element require it to be an object.
    std::string withElementAppended(const Members& members) const;
    std::string withElementRemoved(std::size_t element) const;
    std::string withoutElements() const;
    // Sets the values of the first members called by the given keys, each of
    // which the element must have, to the given texts.
    std::string withStringsReplaced(std::size_t element, const Members& strings) const;
    std::string withHealthCheck(std::size_t element, const HealthCheckEdit& edit) const;
    // Sets members of an element to the given JSON texts: a key the element
    // has takes the new value where it stands (its first member of that
    // name), a new key is appended; an empty text removes the member.
    std::string withMembersSet(std::size_t element, const Members& values) const;

    // A list that holds one object, written compactly.
    static std::string newList(const Members& members);
    // `text` as a JSON string, escaped as the file's writer does.
    static std::string jsonString(const std::string& text);
    // "line L, column C" of a byte offset: lines counted by LF, columns in
    // UTF-8 characters, both from 1.
    static std::string position(const std::string& text, std::size_t offset);

private:
    struct Span {
        std::size_t begin = 0;
        std::size_t end = 0;
    };
    // A member of an object (key set) or an element of an array.
    struct Child {
        std::string key;
        Span keySpan;
        Span value;
        int node = -1;  // the value's own node, for containers near enough the top
    };
    struct Node {
        bool object = false;
        Span span;
        std::vector<Child> children;
    };
    struct Splice {
        std::size_t begin;
        std::size_t end;
        std::string text;
    };
    class Recorder;

    std::optional<std::string> linePrefix(std::size_t at) const;
    std::string renderMembers(const Members& members, const std::string& base, bool multiline) const;
    Splice appendChild(int node, const std::string& keyText,
                       const std::function<std::string(const std::string& base)>& value) const;
    Splice eraseChild(int node, std::size_t child) const;
    int elementNode(std::size_t element) const;
    std::string applied(std::vector<Splice> splices) const;

    std::string text_;
    rapidjson::Document document_;
    std::vector<Node> nodes_;  // the top array first
    bool pretty_ = false;
    std::string eol_ = "\n";
    std::string unit_ = "    ";  // one level of indentation
};
