#include "engine/ProxyRoute.h"

#include "net/AsciiText.h"
#include "net/WInternet.h"

namespace {

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = AsciiLower(c);
    return out;
}

}  // namespace

bool NoProxyMatches(const std::string& list, const std::string& host) {
    const std::string name = Lower(host);
    size_t begin = 0;
    while (begin <= list.size()) {
        size_t end = list.find(',', begin);
        if (end == std::string::npos) end = list.size();
        std::string entry = Lower(TrimAscii(std::string_view(list).substr(begin, end - begin)));
        begin = end + 1;
        if (entry == "*") return true;
        // "host:port" entries: the port is not told apart here.
        const size_t colon = entry.find(':');
        if (colon != std::string::npos) entry.resize(colon);
        while (!entry.empty() && entry.front() == '.') entry.erase(0, 1);
        if (entry.empty()) continue;
        if (name == entry) return true;
        if (name.size() > entry.size() &&
            name.compare(name.size() - entry.size(), entry.size(), entry) == 0 &&
            name[name.size() - entry.size() - 1] == '.') {
            return true;
        }
    }
    return false;
}

const ProxyEndpoint* ProxyFor(const EnvironmentProxies& proxies, int scheme,
                              const std::string& host) {
    const std::optional<ProxyEndpoint>* proxy = nullptr;
    if (scheme == WInternet::kSchemeHttp) proxy = &proxies.http;
    if (scheme == WInternet::kSchemeHttps) proxy = &proxies.https;
    if (scheme == WInternet::kSchemeFtp) proxy = &proxies.ftp;
    if (proxy == nullptr || !*proxy || NoProxyMatches(proxies.noProxy, host)) return nullptr;
    return &**proxy;
}
