#include "alerts/MessageFit.h"

#include <algorithm>

#include "platform/TextEncoding.h"

namespace {

// Lines are not cut shorter than this while some can be left out instead.
constexpr std::size_t kShortestLine = 40;

std::vector<std::string> capped(const std::vector<std::string>& lines, std::size_t count, std::size_t bytes) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < count && i < lines.size(); ++i) out.push_back(MessageFit::cut(lines[i], bytes));
    return out;
}

}  // namespace

std::string MessageFit::cut(const std::string& text, std::size_t bytes) {
    if (text.size() <= bytes) return text;
    return text.substr(0, platform::wholeCharacterPrefix(text, bytes)) + "…";
}

MessageFit::Result MessageFit::fit(const std::string& title, const std::vector<std::string>& lines, std::size_t limit,
                                   const Measure& measure) {
    Result result{title, lines, false};
    if (limit == 0 || measure(title, lines) <= limit) return result;
    result.cut = true;

    std::size_t longest = title.size();
    for (const std::string& line : lines) longest = std::max(longest, line.size());

    // Every line, the title among them, cut to one length: the longest that fits.
    const auto allAt = [&](std::size_t bytes) {
        return measure(cut(title, bytes), capped(lines, lines.size(), bytes)) <= limit;
    };
    const std::size_t floor = std::min(kShortestLine, longest);
    if (allAt(floor)) {
        const std::size_t bytes = largest(floor, longest, allAt);
        result.title = cut(title, bytes);
        result.lines = capped(lines, lines.size(), bytes);
        return result;
    }

    // Too many lines even when short: the first ones stay, the rest counted.
    const auto marker = [&](std::size_t kept) {
        return "… " + std::to_string(lines.size() - kept) + " more line" + (lines.size() - kept == 1 ? "" : "s");
    };
    const auto firstLines = [&](std::size_t kept) {
        std::vector<std::string> out = capped(lines, kept, floor);
        out.push_back(marker(kept));
        return out;
    };
    const std::string shortTitle = cut(title, floor);
    const auto keeping = [&](std::size_t kept) { return measure(shortTitle, firstLines(kept)) <= limit; };
    if (!lines.empty() && keeping(0)) {
        const std::size_t kept = largest(0, lines.size() - 1, keeping);
        result.title = shortTitle;
        result.lines = firstLines(kept);
        return result;
    }

    // Not even the title: as much of it as fits, alone.
    const auto titleAt = [&](std::size_t bytes) { return measure(cut(title, bytes), {}) <= limit; };
    result.title = cut(title, largest(0, title.size(), titleAt));
    result.lines.clear();
    return result;
}
