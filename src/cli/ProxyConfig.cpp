#include "cli/ProxyConfig.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cctype>

#include "net/AsciiText.h"
#include "net/WInternet.h"

namespace {

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

bool NoProxyMatches(const std::string& list, const std::string& host) {
    const std::string name = Lower(host);
    size_t begin = 0;
    while (begin <= list.size()) {
        size_t end = list.find(',', begin);
        if (end == std::string::npos) end = list.size();
        std::string entry = Lower(std::string(TrimAscii(list.substr(begin, end - begin))));
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

std::optional<std::string> ProxyFromEnvironment(int scheme, const std::string& host,
                                                const GetEnv& getenv) {
    auto value = [&getenv](const char* name) -> std::optional<std::string> {
        const char* text = getenv(name);
        if (text == nullptr || *text == '\0') return std::nullopt;
        return std::string(text);
    };
    for (const char* name : {"no_proxy", "NO_PROXY"}) {
        if (auto list = value(name)) {
            if (NoProxyMatches(*list, host)) return std::nullopt;
            break;
        }
    }
    if (scheme == WInternet::kSchemeHttp) return value("http_proxy");
    const bool ftp = scheme == WInternet::kSchemeFtp;
    if (auto lower = value(ftp ? "ftp_proxy" : "https_proxy")) return lower;
    return value(ftp ? "FTP_PROXY" : "HTTPS_PROXY");
}

bool ResolveProxy(ProxyAddress& proxy, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int code = ::getaddrinfo(proxy.address.c_str(), nullptr, &hints, &found);
    if (code != 0 || found == nullptr) {
        error = "cannot find the proxy " + proxy.address + ": " + gai_strerror(code);
        return false;
    }
    char text[INET_ADDRSTRLEN] = {};
    const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    ::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text);
    ::freeaddrinfo(found);
    proxy.address = text;
    return true;
}

std::string ChooseProxies(CliOptions& options, int scheme, const std::string& host,
                          bool settingsUseProxy, const GetEnv& getenv) {
    const bool ftp = scheme == WInternet::kSchemeFtp;
    std::optional<ProxyAddress>& own = ftp ? options.ftpProxy : options.proxy;
    if (!own && !settingsUseProxy) {
        if (auto text = ProxyFromEnvironment(scheme, host, getenv)) {
            ProxyAddress proxy;
            const char* name = ftp                                ? "ftp_proxy"
                               : scheme == WInternet::kSchemeHttp ? "http_proxy"
                                                                  : "https_proxy";
            if (!ParseProxyAddress(*text, proxy, ftp)) {
                return std::string(name) + " must be HOST:PORT or " +
                       (ftp ? "ftp://HOST:PORT" : "http://HOST:PORT") + " (it is " + *text + ")";
            }
            own = proxy;
        }
    }
    std::string error;
    for (std::optional<ProxyAddress>* proxy : {&options.proxy, &options.ftpProxy}) {
        if (*proxy && !ResolveProxy(**proxy, error)) return error;
    }
    return "";
}
