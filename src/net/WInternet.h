#pragma once
// URL splitter: breaks an absolute URL into scheme, host, port, user, password, path and the
// query/fragment rest. Nothing is escaped or unescaped. Stateless: any thread may use its own
// object (workers split the job's URL at the start of every attempt).
#include <cstdint>
#include <string>
#include <string_view>

class WInternet {
public:
    static constexpr int kSchemeUnknown = 0, kSchemeFtp = 1, kSchemeGopher = 2, kSchemeHttp = 3,
                         kSchemeHttps = 4, kSchemeFile = 5;

    // Splits url ("scheme://[user[:password]@]host[:port][/path][?query|#fragment]").
    // On success all seven outputs are assigned and the result is true: scheme is one of the
    // kScheme numbers (kSchemeUnknown for any other well-formed scheme); port is the URL's or
    // the scheme's default (21 ftp, 80 http, 443 https, 0 otherwise); path starts with "/"
    // ("/" when the URL has none); extra is the rest from the first "?" or "#" ("" if none).
    // Returns false and leaves every output untouched for text that is not such a URL: no
    // "://", a malformed scheme, an empty host, a host with characters no host name or IPv4
    // address has (bracketed IPv6 literals are refused), a port outside 1..65535 or not all
    // digits, or a control character anywhere (it would end up inside a protocol line).
    bool CrackUrl(const std::string& url, int& scheme, std::string& host, uint16_t& port,
                  std::string& user, std::string& password, std::string& path, std::string& extra);

    // The user or password text of a URL with its "%XX" escapes decoded ("b%40c" is "b@c"). A
    // "%" not followed by two hex digits stays as it is. The result may hold any byte, control
    // characters included: callers that send it in a protocol line must check it.
    static std::string PercentDecode(std::string_view text);

    // A text as messages may show it: the password of every URL in it replaced by "***"
    // ("ftp://u:***@h/f"); everything else as it stands.
    static std::string RedactPasswords(const std::string& text);

    // The scheme number of a scheme name, compared without regard to case.
    static int SchemeNumber(std::string_view name);
    // The default port of a scheme number (0 when it has none here).
    static uint16_t DefaultPort(int scheme);
};
