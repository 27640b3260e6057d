#pragma once
// Which proxies a brindle-get job uses: the options, else the settings file's, else the
// standard environment variables (http_proxy, https_proxy, ftp_proxy, no_proxy), and the
// lookup of proxy host names. Main thread only.
#include <functional>
#include <optional>
#include <string>

#include "cli/CliOptions.h"

using GetEnv = std::function<const char*(const char*)>;

// True when a no_proxy list ("a.example, .b.example, 10.0.0.1", "*" for all) names the host
// or a domain it lies in. Case-insensitive; ports in entries are ignored.
bool NoProxyMatches(const std::string& list, const std::string& host);

// The proxy variable's value for a URL of this scheme and host, unless no_proxy exempts the
// host. http:// reads http_proxy only (its upper-case form can be set by a web server's
// client, as curl holds); https:// reads https_proxy then HTTPS_PROXY; ftp:// reads ftp_proxy
// then FTP_PROXY. Empty values count as unset.
std::optional<std::string> ProxyFromEnvironment(int scheme, const std::string& host,
                                                const GetEnv& getenv);

// Looks the proxy's host up (IPv4) and puts the dotted quad in its place; false with a
// one-line reason when the name is unknown.
bool ResolveProxy(ProxyAddress& proxy, std::string& error);

// Fills the options' proxy of the URL's scheme from the environment when neither an option
// nor the settings ("useproxy") name one, then resolves every proxy the options hold. ""
// or a one-line reason (a malformed variable, an unknown name).
std::string ChooseProxies(CliOptions& options, int scheme, const std::string& host,
                          bool settingsUseProxy, const GetEnv& getenv);
