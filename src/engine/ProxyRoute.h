#pragma once
// The proxy that carries one URL's connection when the proxies come from the environment
// (brindle-get's http_proxy, https_proxy, ftp_proxy and no_proxy): chosen again for every URL
// fetched, redirect targets included, so a hop to https:// or to a host no_proxy names
// follows its own rule rather than the first URL's. Pure code; any thread.
#include <optional>
#include <string>

// One scheme's proxy: a dotted quad and a port, or why the variable naming it cannot be used
// (reported by the connection that would need it).
struct ProxyEndpoint {
    std::string address;
    int port = 0;
    std::string credentials = "";  // "user:password" for Proxy-Authorization; "" for none
    std::string error;             // non-empty: malformed or unknown; address and port mean nothing
};

// The environment's proxies, read once when a job starts.
struct EnvironmentProxies {
    std::optional<ProxyEndpoint> http;   // http:// URLs
    std::optional<ProxyEndpoint> https;  // https:// URLs, through a CONNECT tunnel
    std::optional<ProxyEndpoint> ftp;    // ftp:// URLs, "USER user@host"
    std::string noProxy;                 // hosts and domains reached directly
};

// True when a no_proxy list ("a.example, .b.example, 10.0.0.1", "*" for all) names the host
// or a domain it lies in. Case-insensitive; ports in entries are ignored.
bool NoProxyMatches(const std::string& list, const std::string& host);

// The proxy for a URL of this scheme (WInternet's numbers) and host; nullptr when it goes
// direct: no proxy for its scheme, or no_proxy names the host.
const ProxyEndpoint* ProxyFor(const EnvironmentProxies& proxies, int scheme,
                              const std::string& host);
