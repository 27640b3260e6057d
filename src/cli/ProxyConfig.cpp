#include "cli/ProxyConfig.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include "net/WInternet.h"

namespace {

std::optional<std::string> Variable(const GetEnv& getenv, const char* name) {
    const char* text = getenv(name);
    if (text == nullptr || *text == '\0') return std::nullopt;
    return std::string(text);
}

std::string NoProxyList(const GetEnv& getenv) {
    if (auto list = Variable(getenv, "no_proxy")) return *list;
    return Variable(getenv, "NO_PROXY").value_or("");
}

// The value naming the proxy of a scheme's URLs, no_proxy aside.
std::optional<std::string> SchemeVariable(int scheme, const GetEnv& getenv) {
    if (scheme == WInternet::kSchemeHttp) return Variable(getenv, "http_proxy");
    const bool ftp = scheme == WInternet::kSchemeFtp;
    if (auto lower = Variable(getenv, ftp ? "ftp_proxy" : "https_proxy")) return lower;
    return Variable(getenv, ftp ? "FTP_PROXY" : "HTTPS_PROXY");
}

// A proxy value as a message may echo it: whatever comes before an "@" (a user name and
// password) shown as "***".
std::string WithoutUserInfo(const std::string& text) {
    const size_t at = text.rfind('@');
    if (at == std::string::npos) return text;
    const size_t scheme = text.find("://");
    const size_t start = scheme == std::string::npos || scheme > at ? 0 : scheme + 3;
    return text.substr(0, start) + "***" + text.substr(at);
}

ProxyEndpoint EndpointFromVariable(int scheme, const std::string& text) {
    const bool ftp = scheme == WInternet::kSchemeFtp;
    const char* name = ftp                                ? "ftp_proxy"
                       : scheme == WInternet::kSchemeHttp ? "http_proxy"
                                                          : "https_proxy";
    ProxyEndpoint endpoint;
    ProxyAddress proxy;
    if (!ParseProxyAddress(text, proxy, ftp)) {
        endpoint.error = std::string(name) + " must be HOST:PORT or " +
                         (ftp ? "ftp://HOST:PORT" : "http://HOST:PORT") + " (it is " +
                         WithoutUserInfo(text) + ")";
    } else if (ResolveProxy(proxy, endpoint.error)) {
        endpoint.address = proxy.address;
        endpoint.port = proxy.port;
        endpoint.credentials = proxy.credentials;
    }
    return endpoint;
}

}  // namespace

std::optional<std::string> ProxyFromEnvironment(int scheme, const std::string& host,
                                                const GetEnv& getenv) {
    if (NoProxyMatches(NoProxyList(getenv), host)) return std::nullopt;
    return SchemeVariable(scheme, getenv);
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
                          bool settingsUseProxy, const GetEnv& getenv,
                          EnvironmentProxies& environment) {
    environment = EnvironmentProxies();
    std::string error;
    for (std::optional<ProxyAddress>* proxy : {&options.proxy, &options.ftpProxy}) {
        if (*proxy && !ResolveProxy(**proxy, error)) return error;
    }
    if (settingsUseProxy) return "";
    environment.noProxy = NoProxyList(getenv);
    const struct {
        int scheme;
        std::optional<ProxyEndpoint>* endpoint;
        bool optionGiven;
    } schemes[] = {
        {WInternet::kSchemeHttp, &environment.http, options.proxy.has_value()},
        {WInternet::kSchemeHttps, &environment.https, options.proxy.has_value()},
        {WInternet::kSchemeFtp, &environment.ftp, options.ftpProxy.has_value()},
    };
    for (const auto& s : schemes) {
        if (s.optionGiven) continue;
        if (auto text = SchemeVariable(s.scheme, getenv)) {
            *s.endpoint = EndpointFromVariable(s.scheme, *text);
        }
    }
    // The first URL's proxy is checked before anything starts, as an option's is.
    const ProxyEndpoint* first = ProxyFor(environment, scheme, host);
    return first != nullptr ? first->error : "";
}
