#include "job/JobInputs.h"

#include "net/AsciiText.h"
#include "net/WInternet.h"

std::optional<std::string> ProposeTargetName(const std::string& urlText) {
    const std::string_view text = TrimAscii(urlText);
    const size_t slash = text.rfind('/');
    if (slash == std::string_view::npos) return std::nullopt;
    // The "?" is searched from the slash on, so a "/" inside the query wins: "?name=a/b" -> "b".
    const size_t query = text.find('?', slash);
    const size_t end = query == std::string_view::npos ? text.size() : query;
    return std::string(text.substr(slash + 1, end - slash - 1));
}

bool IsRefusedUrl(const std::string& urlText) {
    return TrimAscii(urlText).substr(0, 8) == "https://";
}

InputProblem CheckJobInputs(const std::string& urlText, const std::string& targetText) {
    const std::string url(TrimAscii(urlText));
    if (url.empty()) return InputProblem::NoUrl;
    int scheme = 0;
    uint16_t port = 0;
    std::string host, user, password, path, extra;
    if (!WInternet().CrackUrl(url, scheme, host, port, user, password, path, extra) ||
        (scheme != WInternet::kSchemeFtp && scheme != WInternet::kSchemeHttp &&
         scheme != WInternet::kSchemeHttps)) {
        return InputProblem::NotAUrl;
    }
    const std::string_view target = TrimAscii(targetText);
    if (target.empty() || target.back() == '/') return InputProblem::NoTarget;
    return InputProblem::None;
}
