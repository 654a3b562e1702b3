#include "platform/CommandLineSplitter.h"

namespace platform {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Characters a backslash escapes inside double quotes.
bool escapableInDoubleQuotes(char c) { return c == '$' || c == '`' || c == '"' || c == '\\' || c == '\n'; }

}  // namespace

CommandLineSplitter::Result CommandLineSplitter::split(const std::string& commandLine,
                                                       std::vector<std::string>& words) {
    words.clear();
    std::string word;
    bool inWord = false;  // a word has begun (it may still be empty: "")
    const std::size_t n = commandLine.size();
    std::size_t i = 0;
    while (i < n) {
        const char c = commandLine[i];
        if (isBlank(c)) {
            if (inWord) {
                words.push_back(std::move(word));
                word.clear();
                inWord = false;
            }
            ++i;
        } else if (c == '\'') {
            const auto close = commandLine.find('\'', i + 1);
            if (close == std::string::npos) return Result::Unbalanced;
            word.append(commandLine, i + 1, close - i - 1);
            inWord = true;
            i = close + 1;
        } else if (c == '"') {
            ++i;
            bool closed = false;
            while (i < n) {
                const char d = commandLine[i];
                if (d == '"') {
                    closed = true;
                    ++i;
                    break;
                }
                if (d == '\\' && i + 1 < n && escapableInDoubleQuotes(commandLine[i + 1])) {
                    if (commandLine[i + 1] != '\n') word += commandLine[i + 1];
                    i += 2;
                } else {
                    word += d;
                    ++i;
                }
            }
            if (!closed) return Result::Unbalanced;
            inWord = true;
        } else if (c == '\\') {
            if (i + 1 >= n) {
                word += c;
                inWord = true;
                ++i;
            } else if (commandLine[i + 1] == '\n') {
                i += 2;  // line continuation: joins, starts no word
            } else {
                word += commandLine[i + 1];
                inWord = true;
                i += 2;
            }
        } else {
            word += c;
            inWord = true;
            ++i;
        }
    }
    if (inWord) words.push_back(std::move(word));
    return Result::Ok;
}

}  // namespace platform
