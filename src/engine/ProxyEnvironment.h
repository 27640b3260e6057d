#pragma once
// The proxies a job takes from the process environment when the settings' "useproxy" is off:
// http_proxy, https_proxy, ftp_proxy and no_proxy (and their upper-case forms, see
// ProxyFromEnvironment), read once when a job starts and chosen per fetched URL by ProxyFor
// (ProxyRoute.h). Both front ends use it. Also the form of a proxy address and its look-up.
// Pure code apart from ResolveProxy (a DNS look-up); the thread that starts the job.
#include <functional>
#include <optional>
#include <string>

#include "engine/ProxyRoute.h"

// A proxy option or variable: "HOST:PORT" or "SCHEME://HOST:PORT[/]" (http:// for the HTTP
// proxy; http:// or ftp:// for the FTP proxy). The host may be a name: it is looked up when
// the job starts, and the connection gets its IPv4 address.
struct ProxyAddress {
    std::string address;  // as given; a dotted quad after ResolveProxy
    int port = 0;
    std::string credentials = "";  // "user:password" from user:pass@, percent-decoded
};

// Parses a proxy as ProxyAddress describes, with "user:pass@" before the host for an HTTP
// proxy that wants them; false when it is malformed, the port not 1..65535, or the decoded
// credentials hold a control character. ftpProxy also allows the ftp:// form (and no
// credentials: an FTP proxy takes none here).
bool ParseProxyAddress(const std::string& text, ProxyAddress& out, bool ftpProxy = false);

// Looks the proxy's host up (IPv4) and puts the dotted quad in its place; false with a
// one-line reason when the name is unknown.
bool ResolveProxy(ProxyAddress& proxy, std::string& error);

// Reads one environment variable; null when unset. Tests pass a table.
using GetEnv = std::function<const char*(const char*)>;
// The process's own environment.
GetEnv ProcessEnvironment();

// The proxy variable's value for a URL of this scheme and host, unless no_proxy exempts the
// host. http:// reads http_proxy only (its upper-case form can be set by a web server's
// client, as curl holds); https:// reads https_proxy then HTTPS_PROXY; ftp:// reads ftp_proxy
// then FTP_PROXY; no_proxy then NO_PROXY. Empty values count as unset.
std::optional<std::string> ProxyFromEnvironment(int scheme, const std::string& host,
                                                const GetEnv& getenv);

// Every scheme's proxy the environment names, parsed and looked up, with no_proxy; a variable
// that cannot be used keeps its reason, which fails only a connection that would need it.
// skipHttp leaves out http_proxy and https_proxy, skipFtp ftp_proxy: a proxy given another
// way stands in for them.
EnvironmentProxies ReadEnvironmentProxies(const GetEnv& getenv, bool skipHttp = false,
                                          bool skipFtp = false);
