#include "net/WInternet.h"

#include <arpa/inet.h>

#include <algorithm>

#include "net/AsciiText.h"

namespace {

bool IsAsciiAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// scheme = ALPHA *( ALPHA / DIGIT / "+" / "-" / "." )
bool IsWellFormedScheme(std::string_view s) {
    if (s.empty() || !IsAsciiAlpha(s[0])) return false;
    for (char c : s) {
        if (!IsAsciiAlpha(c) && !IsAsciiDigit(c) && c != '+' && c != '-' && c != '.') return false;
    }
    return true;
}

// A registered name (letters, digits, "-._~", sub-delimiters, "%") or an IPv4 literal, which
// is made of the same characters. Bytes above 0x7f are let through for raw international
// names; the resolver decides on them. Brackets (IPv6) and white space are refused.
bool IsValidHost(std::string_view h) {
    if (h.empty()) return false;
    static constexpr std::string_view kAllowed = "-._~!$&'()*+,;=%";
    for (char c : h) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x80 || IsAsciiAlpha(c) || IsAsciiDigit(c)) continue;
        if (kAllowed.find(c) == std::string_view::npos) return false;
    }
    return true;
}

// Port text: 1..5 digits, value 1..65535.
bool ParsePort(std::string_view text, uint16_t& port) {
    if (text.size() > 5) return false;
    int64_t value = 0;
    if (!TakeDigits(text, value, 65535) || !text.empty() || value < 1) return false;
    port = static_cast<uint16_t>(value);
    return true;
}

}  // namespace

std::string WInternet::RedactPasswords(const std::string& text) {
    std::string out = text;
    for (size_t scheme = out.find("://"); scheme != std::string::npos;
         scheme = out.find("://", scheme + 3)) {
        const size_t authority = scheme + 3;
        const size_t end = std::min(out.find_first_of("/?# \t\r\n\"'", authority), out.size());
        // The last "@" ends the user part: a password may hold an unescaped "@" of its own.
        const size_t at = out.rfind('@', end - 1);
        if (end == authority || at == std::string::npos || at < authority) continue;
        const size_t colon = out.find(':', authority);
        if (colon == std::string::npos || colon > at) continue;
        out.replace(colon + 1, at - colon - 1, "***");
    }
    return out;
}

std::string WInternet::PercentDecode(std::string_view text) {
    auto hex = [](char c) {
        if (IsAsciiDigit(c)) return c - '0';
        const char lower = AsciiLower(c);
        return lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
    };
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const int high = text[i] == '%' && i + 2 < text.size() ? hex(text[i + 1]) : -1;
        const int low = high >= 0 ? hex(text[i + 2]) : -1;
        if (low < 0) {
            out += text[i];
            continue;
        }
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

int WInternet::SchemeNumber(std::string_view name) {
    if (EqualsNoCase(name, "ftp")) return kSchemeFtp;
    if (EqualsNoCase(name, "gopher")) return kSchemeGopher;
    if (EqualsNoCase(name, "http")) return kSchemeHttp;
    if (EqualsNoCase(name, "https")) return kSchemeHttps;
    if (EqualsNoCase(name, "file")) return kSchemeFile;
    return kSchemeUnknown;
}

uint16_t WInternet::DefaultPort(int scheme) {
    switch (scheme) {
        case kSchemeFtp:
            return 21;
        case kSchemeHttp:
            return 80;
        case kSchemeHttps:
            return 443;
        default:
            return 0;
    }
}

bool WInternet::CrackUrl(const std::string& url, int& scheme, std::string& host, uint16_t& port,
                         std::string& user, std::string& password, std::string& path,
                         std::string& extra) {
    const std::string_view text(url);
    if (text.empty() || HasControlChar(text)) return false;

    const size_t schemeEnd = text.find("://");
    if (schemeEnd == std::string_view::npos) return false;
    const std::string_view schemeText = text.substr(0, schemeEnd);
    if (!IsWellFormedScheme(schemeText)) return false;

    // The authority runs to the first "/", "?" or "#"; what follows is path and extra.
    const std::string_view rest = text.substr(schemeEnd + 3);
    const size_t authorityEnd = rest.find_first_of("/?#");
    const std::string_view authority = rest.substr(0, authorityEnd);
    const std::string_view tail =
        authorityEnd == std::string_view::npos ? std::string_view() : rest.substr(authorityEnd);

    // User information ends at the last "@", so a user name may itself hold an "@".
    std::string_view userInfo;
    std::string_view hostPort = authority;
    const size_t at = authority.rfind('@');
    if (at != std::string_view::npos) {
        userInfo = authority.substr(0, at);
        hostPort = authority.substr(at + 1);
    }

    const int newScheme = SchemeNumber(schemeText);
    std::string_view hostText = hostPort;
    uint16_t newPort = DefaultPort(newScheme);
    std::string_view portText;
    bool hasPort = false;
    if (!hostPort.empty() && hostPort.front() == '[') {
        // An IPv6 literal in brackets; the host is what they hold.
        const size_t close = hostPort.find(']');
        if (close == std::string_view::npos) return false;
        hostText = hostPort.substr(1, close - 1);
        const std::string_view after = hostPort.substr(close + 1);
        if (!after.empty() && after.front() != ':') return false;
        hasPort = !after.empty();
        if (hasPort) portText = after.substr(1);
        in6_addr address{};
        if (::inet_pton(AF_INET6, std::string(hostText).c_str(), &address) != 1) return false;
    } else {
        const size_t colon = hostPort.find(':');
        if (colon != std::string_view::npos) {
            hostText = hostPort.substr(0, colon);
            portText = hostPort.substr(colon + 1);
            hasPort = true;
        }
        if (!IsValidHost(hostText)) return false;
    }
    if (hasPort && !ParsePort(portText, newPort)) return false;

    std::string_view userText = userInfo;
    std::string_view passwordText;
    const size_t userColon = userInfo.find(':');
    if (userColon != std::string_view::npos) {
        userText = userInfo.substr(0, userColon);
        passwordText = userInfo.substr(userColon + 1);
    }

    const size_t extraStart = tail.find_first_of("?#");
    std::string_view pathText = tail.substr(0, extraStart);
    const std::string_view extraText =
        extraStart == std::string_view::npos ? std::string_view() : tail.substr(extraStart);
    if (pathText.empty()) pathText = "/";

    scheme = newScheme;
    host.assign(hostText);
    port = newPort;
    user.assign(userText);
    password.assign(passwordText);
    path.assign(pathText);
    extra.assign(extraText);
    return true;
}
