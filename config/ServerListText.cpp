#include "config/ServerListText.h"

#include <algorithm>
#include <string_view>

#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace {

// Iterative: the parser keeps its own stack on the heap. Full precision:
// numbers read for the options are the ones written.
constexpr unsigned kParseFlags = rapidjson::kParseIterativeFlag | rapidjson::kParseFullPrecisionFlag;

// Containers this deep get a node: the top array (1), its elements (2) and
// the object values of their members (3), the deepest a change reaches.
constexpr std::size_t kTrackedDepth = 3;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string secondsText(std::chrono::milliseconds interval) {
    const long long ms = interval.count();
    std::string text = std::to_string(ms / 1000);
    if (ms % 1000 != 0) {
        std::string fraction = std::to_string(1000 + ms % 1000).substr(1);
        while (fraction.back() == '0') fraction.pop_back();
        text += "." + fraction;
    }
    return text;
}

}  // namespace

// The handler the reader calls: builds the document and notes where each
// value of the first levels begins and ends. The reader calls it once per
// token, in the order of the text, and only for tokens it has found sound;
// so the token is found by skipping the blanks and the one separator after
// the previous token and reading to its end, whatever position the reader's
// stream stands at during the call.
class ServerListText::Recorder {
public:
    Recorder(rapidjson::Document& document, const std::string& text, std::vector<Node>& nodes)
        : document_(document), text_(text), nodes_(nodes) {}

    bool Null() { return scalar(fixed(4)) && document_.Null(); }
    bool Bool(bool b) { return scalar(fixed(b ? 4 : 5)) && document_.Bool(b); }
    bool Int(int i) { return scalar(number()) && document_.Int(i); }
    bool Uint(unsigned u) { return scalar(number()) && document_.Uint(u); }
    bool Int64(std::int64_t i) { return scalar(number()) && document_.Int64(i); }
    bool Uint64(std::uint64_t u) { return scalar(number()) && document_.Uint64(u); }
    bool Double(double d) { return scalar(number()) && document_.Double(d); }
    bool RawNumber(const char* s, rapidjson::SizeType n, bool copy) {
        return scalar(number()) && document_.RawNumber(s, n, copy);
    }
    bool String(const char* s, rapidjson::SizeType n, bool copy) {
        return scalar(string()) && document_.String(s, n, copy);
    }

    bool Key(const char* s, rapidjson::SizeType n, bool copy) {
        const Span key = string();
        if (tracked()) nodes_[open_.back()].children.push_back(Child{std::string(s, n), key, {}, -1});
        return document_.Key(s, n, copy);
    }

    bool StartObject() { return open(true) && document_.StartObject(); }
    bool StartArray() { return open(false) && document_.StartArray(); }
    bool EndObject(rapidjson::SizeType members) { return close() && document_.EndObject(members); }
    bool EndArray(rapidjson::SizeType elements) { return close() && document_.EndArray(elements); }

private:
    std::size_t skip() {
        while (cursor_ < text_.size() && (isBlank(text_[cursor_]) || text_[cursor_] == ',' || text_[cursor_] == ':'))
            ++cursor_;
        return cursor_;
    }
    Span fixed(std::size_t length) {
        const std::size_t begin = skip();
        cursor_ = std::min(begin + length, text_.size());
        return {begin, cursor_};
    }
    Span string() {
        const std::size_t begin = skip();
        std::size_t at = begin + 1;
        while (at < text_.size() && text_[at] != '"') at += text_[at] == '\\' ? 2 : 1;
        cursor_ = std::min(at + 1, text_.size());
        return {begin, cursor_};
    }
    Span number() {
        const std::size_t begin = skip();
        while (cursor_ < text_.size() && std::string_view("+-0123456789.eE").find(text_[cursor_]) != std::string_view::npos)
            ++cursor_;
        return {begin, cursor_};
    }

    // Whether the container the next value goes into has a node.
    bool tracked() const { return depth_ >= 1 && depth_ <= kTrackedDepth; }

    // The child a value fills, if its container has a node.
    Child* child(Span value) {
        if (!tracked()) return nullptr;
        Node& parent = nodes_[open_.back()];
        if (!parent.object) parent.children.emplace_back();
        parent.children.back().value = value;
        return &parent.children.back();
    }
    bool scalar(Span value) {
        child(value);
        return true;
    }
    bool open(bool object) {
        const Span bracket = fixed(1);
        Child* filled = child(bracket);
        ++depth_;
        if (depth_ <= kTrackedDepth) {
            const int id = static_cast<int>(nodes_.size());
            if (filled) filled->node = id;
            nodes_.push_back(Node{object, bracket, {}});  // `filled` is not used past here
            open_.push_back(id);
        }
        return true;
    }
    bool close() {
        const std::size_t end = fixed(1).end;
        if (depth_ <= kTrackedDepth) {
            nodes_[open_.back()].span.end = end;
            open_.pop_back();
        }
        --depth_;
        if (tracked()) nodes_[open_.back()].children.back().value.end = end;
        return true;
    }

    rapidjson::Document& document_;
    const std::string& text_;
    std::vector<Node>& nodes_;
    std::vector<int> open_;  // nodes of the open containers that have one
    std::size_t depth_ = 0;  // open containers
    std::size_t cursor_ = 0;  // just after the last token
};

bool ServerListText::parse(std::string text, std::string& error) {
    text_ = std::move(text);
    nodes_.clear();
    document_ = rapidjson::Document();

    // The stream ends at a zero byte, which is therefore looked for apart.
    rapidjson::StringStream stream(text_.c_str());
    rapidjson::Reader reader;
    Recorder recorder(document_, text_, nodes_);
    rapidjson::ParseResult result;
    auto generate = [&](rapidjson::Document&) {
        result = reader.Parse<kParseFlags>(stream, recorder);
        return !result.IsError();
    };
    document_.Populate(generate);

    const std::size_t zero = text_.find('\0');
    if ((result.IsError() && zero != std::string::npos && result.Offset() >= zero) ||
        (!result.IsError() && zero != std::string::npos)) {
        error = position(text_, zero) + ": A zero byte is not valid in JSON.";
        return false;
    }
    if (result.IsError()) {
        error = position(text_, result.Offset()) + ": " + rapidjson::GetParseError_En(result.Code());
        return false;
    }
    if (!document_.IsArray()) {
        std::size_t root = 0;
        while (root < text_.size() && isBlank(text_[root])) ++root;
        error = position(text_, root) + ": The document root must be an array.";
        return false;
    }

    // The file's style, which new parts follow.
    std::string_view body = text_;
    if (!body.empty() && body.back() == '\n') body.remove_suffix(1);
    if (!body.empty() && body.back() == '\r') body.remove_suffix(1);
    pretty_ = body.find('\n') != std::string_view::npos;
    eol_ = text_.find("\r\n") != std::string::npos ? "\r\n" : "\n";
    unit_ = "    ";
    for (auto nl = text_.find('\n'); nl != std::string::npos; nl = text_.find('\n', nl + 1)) {
        std::size_t end = nl + 1;
        while (end < text_.size() && (text_[end] == ' ' || text_[end] == '\t')) ++end;
        if (end == nl + 1 || end == text_.size() || text_[end] == '\r' || text_[end] == '\n') continue;
        const std::string run = text_.substr(nl + 1, end - nl - 1);
        if (run.find_first_not_of(run[0]) == std::string::npos) unit_ = run;  // one character throughout
        break;
    }
    return true;
}

std::string ServerListText::position(const std::string& text, std::size_t offset) {
    offset = std::min(offset, text.size());
    std::size_t line = 1;
    std::size_t lineStart = 0;
    for (std::size_t i = 0; i < offset; ++i)
        if (text[i] == '\n') {
            ++line;
            lineStart = i + 1;
        }
    std::size_t column = 1;
    for (std::size_t i = lineStart; i < offset; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80 || byte > 0xBF) ++column;  // continuation bytes belong to the character before
    }
    return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

std::string ServerListText::jsonString(const std::string& text) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::optional<std::string> ServerListText::linePrefix(std::size_t at) const {
    const std::size_t start = at == 0 ? std::string::npos : text_.rfind('\n', at - 1);
    const std::size_t begin = start == std::string::npos ? 0 : start + 1;
    const std::string prefix = text_.substr(begin, at - begin);
    if (start == std::string::npos || prefix.find_first_not_of(" \t") != std::string::npos) return std::nullopt;
    return prefix;
}

std::string ServerListText::renderMembers(const Members& members, const std::string& base, bool multiline) const {
    if (members.empty()) return "{}";
    std::string out = "{";
    for (std::size_t i = 0; i < members.size(); ++i) {
        if (multiline)
            out += (i ? "," : "") + eol_ + base + unit_;
        else if (i)
            out += pretty_ ? ", " : ",";
        out += members[i].first + (pretty_ ? ": " : ":") + members[i].second;
    }
    if (multiline) out += eol_ + base;
    return out + "}";
}

std::string ServerListText::newList(const Members& members) {
    std::string out = "[{";
    for (std::size_t i = 0; i < members.size(); ++i)
        out += (i ? "," : "") + jsonString(members[i].first) + ":" + members[i].second;
    return out + "}]";
}

ServerListText::Splice ServerListText::appendChild(
    int id, const std::string& keyText, const std::function<std::string(const std::string& base)>& value) const {
    const Node& node = nodes_[static_cast<std::size_t>(id)];
    const std::string parentPrefix = linePrefix(node.span.begin).value_or("");
    const std::string plainColon = pretty_ ? ": " : ":";
    if (node.children.empty()) {
        if (!pretty_)
            return {node.span.begin + 1, node.span.end - 1,
                    (keyText.empty() ? "" : keyText + plainColon) + value(parentPrefix)};
        const std::string base = parentPrefix + unit_;
        return {node.span.begin + 1, node.span.end - 1,
                eol_ + base + (keyText.empty() ? "" : keyText + plainColon) + value(base) + eol_ + parentPrefix};
    }
    // After the last child, separated and indented as the children before.
    const Child& last = node.children.back();
    const std::size_t lastStart = node.object ? last.keySpan.begin : last.value.begin;
    const std::string base = linePrefix(lastStart).value_or(parentPrefix + unit_);
    std::string separator;
    if (node.children.size() >= 2) {
        const Child& before = node.children[node.children.size() - 2];
        separator = text_.substr(before.value.end, lastStart - before.value.end);
    } else {
        separator = pretty_ ? "," + eol_ + base : ",";
    }
    std::string member = keyText;
    if (node.object) member += text_.substr(last.keySpan.end, last.value.begin - last.keySpan.end);
    return {last.value.end, last.value.end, separator + member + value(base)};
}

ServerListText::Splice ServerListText::eraseChild(int id, std::size_t child) const {
    const Node& node = nodes_[static_cast<std::size_t>(id)];
    const std::vector<Child>& children = node.children;
    auto start = [&](std::size_t i) { return node.object ? children[i].keySpan.begin : children[i].value.begin; };
    if (children.size() == 1) return {node.span.begin + 1, node.span.end - 1, ""};
    // With the separator that follows it, or for the last one the separator
    // before it.
    if (child + 1 < children.size()) return {start(child), start(child + 1), ""};
    return {children[child - 1].value.end, children[child].value.end, ""};
}

int ServerListText::elementNode(std::size_t element) const { return nodes_.front().children.at(element).node; }

std::string ServerListText::applied(std::vector<Splice> splices) const {
    std::sort(splices.begin(), splices.end(), [](const Splice& a, const Splice& b) { return a.begin > b.begin; });
    std::string out = text_;
    for (const Splice& splice : splices) out.replace(splice.begin, splice.end - splice.begin, splice.text);
    return out;
}

std::string ServerListText::withElementAppended(const Members& members) const {
    Members quoted;
    for (const auto& [key, value] : members) quoted.emplace_back(jsonString(key), value);
    return applied({appendChild(0, "", [&](const std::string& base) { return renderMembers(quoted, base, pretty_); })});
}

std::string ServerListText::withElementRemoved(std::size_t element) const { return applied({eraseChild(0, element)}); }

std::string ServerListText::withoutElements() const {
    const Node& root = nodes_.front();
    return applied({{root.span.begin + 1, root.span.end - 1, ""}});
}

std::string ServerListText::withStringsReplaced(std::size_t element, const Members& strings) const {
    const Node& node = nodes_[static_cast<std::size_t>(elementNode(element))];
    std::vector<Splice> splices;
    for (const auto& [key, value] : strings) {
        const auto found = std::find_if(node.children.begin(), node.children.end(),
                                        [&](const Child& child) { return child.key == key; });
        if (found != node.children.end()) splices.push_back({found->value.begin, found->value.end, jsonString(value)});
    }
    return applied(std::move(splices));
}

std::string ServerListText::withMembersSet(std::size_t element, const Members& values) const {
    // One change at a time on a fresh parse: appends and removals shift the
    // spans of what follows them.
    std::string text = text_;
    for (const auto& [key, value] : values) {
        ServerListText current;
        std::string error;
        if (!current.parse(text, error)) return text;
        const int id = current.elementNode(element);
        const Node& node = current.nodes_[static_cast<std::size_t>(id)];
        std::size_t at = 0;
        while (at < node.children.size() && node.children[at].key != key) ++at;
        if (at < node.children.size()) {
            const Child& child = node.children[at];
            text = value.empty() ? current.applied({current.eraseChild(id, at)})
                                 : current.applied({{child.value.begin, child.value.end, value}});
        } else if (!value.empty()) {
            text =
                current.applied({current.appendChild(id, jsonString(key), [&](const std::string&) { return value; })});
        }
    }
    return text;
}

std::string ServerListText::withHealthCheck(std::size_t element, const HealthCheckEdit& edit) const {
    const int id = elementNode(element);
    const Node& node = nodes_[static_cast<std::size_t>(id)];
    const std::string probeKey =
        edit.probe == HealthProbe::tcp ? "tcp" : edit.probe == HealthProbe::http ? "http" : std::string();
    Members wanted;  // key and value text
    if (!probeKey.empty()) {
        wanted = {{probeKey, jsonString(edit.target)},
                  {"interval", secondsText(edit.interval)},
                  {"failures", std::to_string(edit.failures)}};
    }
    auto quotedKeys = [](const Members& members) {
        Members quoted;
        for (const auto& [key, value] : members) quoted.emplace_back(jsonString(key), value);
        return quoted;
    };

    std::size_t health = 0;
    while (health < node.children.size() && node.children[health].key != "health") ++health;
    if (health == node.children.size()) {
        if (probeKey.empty()) return text_;
        return applied({appendChild(id, jsonString("health"), [&](const std::string& base) {
            return renderMembers(quotedKeys(wanted), base, pretty_);
        })});
    }
    const Child& member = node.children[health];
    const std::string base = linePrefix(member.keySpan.begin).value_or("");
    if (member.node < 0 || !nodes_[static_cast<std::size_t>(member.node)].object) {
        // Not a rule as it stands (the reader warned of it): replaced whole.
        if (probeKey.empty()) return text_;
        return applied({{member.value.begin, member.value.end, renderMembers(quotedKeys(wanted), base, pretty_)}});
    }

    // The rule's members in their order: the ones set take their new values,
    // other probes go, everything else stays as written.
    const Node& rule = nodes_[static_cast<std::size_t>(member.node)];
    Members members;
    std::vector<std::string> done;
    bool watchesSomething = false;
    auto isDone = [&](const std::string& key) { return std::find(done.begin(), done.end(), key) != done.end(); };
    for (const Child& child : rule.children) {
        const std::string keyText = text_.substr(child.keySpan.begin, child.keySpan.end - child.keySpan.begin);
        const std::string valueText = text_.substr(child.value.begin, child.value.end - child.value.begin);
        const auto want = std::find_if(wanted.begin(), wanted.end(), [&](const auto& w) { return w.first == child.key; });
        const bool probe = child.key == "tcp" || child.key == "http" || child.key == "exec";
        if (want != wanted.end() && !isDone(child.key)) {
            members.emplace_back(keyText, want->second);
            done.push_back(child.key);
        } else if (probe && !probeKey.empty()) {
            // One probe per rule: the new one takes the place of the first.
            if (!isDone(probeKey)) members.emplace_back(jsonString(probeKey), wanted.front().second);
            done.push_back(probeKey);
        } else if (probe && child.key != "exec") {
            continue;  // without a new probe, only tcp and http go
        } else {
            members.emplace_back(keyText, valueText);
            watchesSomething = watchesSomething || child.key == "exec" || child.key == "max_memory_mb";
        }
    }
    if (probeKey.empty() && !watchesSomething) return applied({eraseChild(id, health)});
    for (const auto& [key, value] : wanted)
        if (!isDone(key)) members.emplace_back(jsonString(key), value);
    const std::string old = text_.substr(rule.span.begin, rule.span.end - rule.span.begin);
    const bool multiline = pretty_ && (old.find('\n') != std::string::npos || rule.children.empty());
    return applied({{member.value.begin, member.value.end, renderMembers(members, base, multiline)}});
}
