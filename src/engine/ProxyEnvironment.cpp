#include "engine/ProxyEnvironment.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstdlib>

#include "net/AsciiText.h"
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

bool ParseProxyAddress(const std::string& text, ProxyAddress& out, bool ftpProxy) {
    std::string rest = text;
    for (const char* scheme : {"http://", "ftp://"}) {
        if (rest.rfind(scheme, 0) == 0) {
            if (scheme[0] == 'f' && !ftpProxy) return false;
            rest = rest.substr(std::string(scheme).size());
            if (!rest.empty() && rest.back() == '/') rest.pop_back();
            break;
        }
    }
    std::string credentials;
    const size_t at = rest.rfind('@');
    if (at != std::string::npos) {
        if (ftpProxy) return false;
        const std::string userinfo = rest.substr(0, at);
        const size_t separator = userinfo.find(':');
        // Escaped as in any URL ("p%40ss" is "p@ss"); the colon between the two stays.
        credentials = WInternet::PercentDecode(userinfo.substr(0, separator));
        if (separator != std::string::npos) {
            credentials += ":" + WInternet::PercentDecode(userinfo.substr(separator + 1));
        }
        if (userinfo.empty() || HasControlChar(credentials)) return false;
        rest = rest.substr(at + 1);
    }
    const size_t colon = rest.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    const std::string host = rest.substr(0, colon);
    // A name or an IPv4 address, nothing that would need quoting or carries credentials.
    if (host.find_first_not_of(
            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-") !=
        std::string::npos) {
        return false;
    }
    const std::string portText = rest.substr(colon + 1);
    std::string_view digits = portText;
    int64_t port = 0;
    if (portText.size() > 5 || !TakeDigits(digits, port) || !digits.empty() || port < 1 ||
        port > 65535) {
        return false;
    }
    out.address = host;
    out.port = static_cast<int>(port);
    out.credentials = credentials;
    return true;
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

GetEnv ProcessEnvironment() {
    return [](const char* name) -> const char* { return std::getenv(name); };
}

std::optional<std::string> ProxyFromEnvironment(int scheme, const std::string& host,
                                                const GetEnv& getenv) {
    if (NoProxyMatches(NoProxyList(getenv), host)) return std::nullopt;
    return SchemeVariable(scheme, getenv);
}

EnvironmentProxies ReadEnvironmentProxies(const GetEnv& getenv, bool skipHttp, bool skipFtp) {
    EnvironmentProxies environment;
    environment.noProxy = NoProxyList(getenv);
    const struct {
        int scheme;
        std::optional<ProxyEndpoint>* endpoint;
        bool skipped;
    } schemes[] = {
        {WInternet::kSchemeHttp, &environment.http, skipHttp},
        {WInternet::kSchemeHttps, &environment.https, skipHttp},
        {WInternet::kSchemeFtp, &environment.ftp, skipFtp},
    };
    for (const auto& s : schemes) {
        if (s.skipped) continue;
        if (auto text = SchemeVariable(s.scheme, getenv)) {
            *s.endpoint = EndpointFromVariable(s.scheme, *text);
        }
    }
    return environment;
}
