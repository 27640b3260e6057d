#include "job/JobInputs.h"

namespace {

bool IsWhiteSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

}  // namespace

std::string TrimWhiteSpace(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsWhiteSpace(text[begin])) ++begin;
    while (end > begin && IsWhiteSpace(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

std::optional<std::string> ProposeTargetName(const std::string& urlText) {
    const std::string text = TrimWhiteSpace(urlText);
    const size_t slash = text.rfind('/');
    if (slash == std::string::npos) return std::nullopt;
    // The "?" is searched from the slash on, so a "/" inside the query wins: "?name=a/b" -> "b".
    const size_t query = text.find('?', slash);
    const size_t end = query == std::string::npos ? text.size() : query;
    return text.substr(slash + 1, end - slash - 1);
}

bool IsRefusedUrl(const std::string& urlText) {
    return TrimWhiteSpace(urlText).rfind("https://", 0) == 0;
}
