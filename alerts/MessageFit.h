#pragma once
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

// Cuts a message to a robot's size limit in bytes. The title and every line
// keep their start: the longest lines are cut first, all to the same length,
// each cut marked with "…" and never inside a UTF-8 character; only when
// even short lines do not fit are the last lines left out, counted in a line
// of their own ("… 12 more lines").
class MessageFit {
public:
    // The size in bytes of what the robot measures when given a title and
    // lines (its JSON body, or the text field within it).
    using Measure = std::function<std::size_t(const std::string& title, const std::vector<std::string>& lines)>;

    struct Result {
        std::string title;
        std::vector<std::string> lines;
        bool cut = false;
    };

    // `title` and `lines` as they are when they fit `limit`; cut otherwise.
    // A limit of 0 means none.
    static Result fit(const std::string& title, const std::vector<std::string>& lines, std::size_t limit,
                      const Measure& measure);

    // The start of `text` of at most `bytes` bytes that ends on a whole
    // character, then "…"; the text itself when it is not longer.
    static std::string cut(const std::string& text, std::size_t bytes);

    // The largest value in [low, high] for which `fits` holds, given that it
    // holds for `low` and that a larger value never fits where a smaller one
    // does not (a binary search: each try measures a whole message).
    template <typename Fits>
    static std::size_t largest(std::size_t low, std::size_t high, Fits fits) {
        while (low < high) {
            const std::size_t middle = low + (high - low + 1) / 2;
            if (fits(middle))
                low = middle;
            else
                high = middle - 1;
        }
        return low;
    }
};
