#include "supervision/ListChange.h"

namespace {

std::string joined(const std::vector<std::string>& words, const char* separator) {
    std::string text;
    for (const std::string& word : words) text += (text.empty() ? "" : separator) + word;
    return text;
}

}  // namespace

std::string ListChange::text() const {
    std::string text;
    auto group = [&text](const char* title, const std::string& items) {
        if (items.empty()) return;
        text += (text.empty() ? "" : "; ") + std::string(title) + ": " + items;
    };
    group("added", joined(added, ", "));
    std::vector<std::string> changes;
    for (const Changed& change : changed) changes.push_back(change.name + " (" + joined(change.keys, ", ") + ")");
    group("changed", joined(changes, ", "));
    group("removed", joined(removed, ", "));
    return text + (text.empty() ? "" : "; ") + "unchanged: " + std::to_string(unchanged);
}
