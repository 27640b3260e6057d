// Fuzz target for the URL splitter: the input is the URL text. Checks that a refused URL leaves
// every output untouched, that the parts of an accepted one are well formed and come from the
// URL, and that putting the parts back together splits into the same parts.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "net/WInternet.h"

namespace {

struct UrlParts {
    int scheme = -7;
    std::string host = "\001host";
    uint16_t port = 7;
    std::string user = "\001user";
    std::string password = "\001password";
    std::string path = "\001path";
    std::string extra = "\001extra";

    bool operator==(const UrlParts&) const = default;
};

bool Crack(const std::string& url, UrlParts& p) {
    WInternet internet;
    return internet.CrackUrl(url, p.scheme, p.host, p.port, p.user, p.password, p.path, p.extra);
}

bool HasControlChar(std::string_view s) {
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) return true;
    }
    return false;
}

bool EndsWith(std::string_view s, std::string_view end) {
    return s.size() >= end.size() && s.substr(s.size() - end.size()) == end;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string url(reinterpret_cast<const char*>(data), size);
    UrlParts p;
    if (!Crack(url, p)) {
        FUZZ_CHECK(p == UrlParts());
        return 0;
    }

    const size_t schemeEnd = url.find("://");
    FUZZ_CHECK(schemeEnd != std::string::npos);
    const std::string schemeText = url.substr(0, schemeEnd);
    FUZZ_CHECK(p.scheme == WInternet::SchemeNumber(schemeText));

    for (const std::string* part : {&p.host, &p.user, &p.password, &p.path, &p.extra}) {
        FUZZ_CHECK(!HasControlChar(*part));
    }
    FUZZ_CHECK(!p.host.empty());
    // A name or IPv4 address, or an IPv6 address without its brackets.
    in6_addr v6{};
    const bool ipv6 = ::inet_pton(AF_INET6, p.host.c_str(), &v6) == 1;
    FUZZ_CHECK(p.host.find_first_of(ipv6 ? "/?#@[] " : ":/?#@[] ") == std::string::npos);
    FUZZ_CHECK(p.port != 0 || WInternet::DefaultPort(p.scheme) == 0);
    FUZZ_CHECK(p.user.find_first_of(":/?#") == std::string::npos);
    FUZZ_CHECK(p.password.find_first_of("/?#") == std::string::npos);
    FUZZ_CHECK(!p.path.empty() && p.path[0] == '/');
    FUZZ_CHECK(p.path.find_first_of("?#") == std::string::npos);
    FUZZ_CHECK(p.extra.empty() || p.extra[0] == '?' || p.extra[0] == '#');
    // Path and extra are the URL's tail as it stands; only an absent path becomes "/".
    FUZZ_CHECK(EndsWith(url, p.path + p.extra) || (p.path == "/" && EndsWith(url, p.extra)));
    FUZZ_CHECK(url.find(p.host) != std::string::npos);

    std::string again = schemeText + "://";
    if (!p.user.empty() || !p.password.empty()) again += p.user + ":" + p.password + "@";
    again += ipv6 ? "[" + p.host + "]" : p.host;
    if (p.port != WInternet::DefaultPort(p.scheme)) again += ":" + std::to_string(p.port);
    again += p.path + p.extra;
    UrlParts q;
    FUZZ_CHECK(Crack(again, q));
    FUZZ_CHECK(q == p);
    return 0;
}
