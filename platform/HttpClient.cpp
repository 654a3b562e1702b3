#include "platform/HttpClient.h"

namespace platform {

namespace {

bool sameNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

std::string trimmed(const std::string& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
    while (end > begin &&
           (text[end - 1] == ' ' || text[end - 1] == '\t' || text[end - 1] == '\r' || text[end - 1] == '\n'))
        --end;
    return text.substr(begin, end - begin);
}

}  // namespace

std::string HttpResponse::header(const std::string& name) const {
    for (const auto& [field, value] : headers)
        if (sameNoCase(field, name)) return value;
    return {};
}

void addHeaderLine(HttpResponse& response, std::string line) {
    line = trimmed(line);
    if (line.empty()) return;
    if (line.compare(0, 5, "HTTP/") == 0) {
        response.headers.clear();
        return;
    }
    const auto colon = line.find(':');
    if (colon == std::string::npos || colon == 0) return;
    response.headers.emplace_back(trimmed(line.substr(0, colon)), trimmed(line.substr(colon + 1)));
}

std::string maskSecrets(std::string text, const std::vector<std::string>& secrets) {
    for (const std::string& secret : secrets) {
        if (secret.empty()) continue;
        for (std::size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 3))
            text.replace(at, secret.size(), "***");
    }
    return text;
}

}  // namespace platform
