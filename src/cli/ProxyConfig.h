#pragma once
// Which proxies a brindle-get job uses: the options, else the settings file's, else the
// standard environment variables (http_proxy, https_proxy, ftp_proxy, no_proxy), which the
// engine applies to every URL it fetches (ProxyRoute.h); and the lookup of proxy host names.
// Main thread only.
#include <functional>
#include <optional>
#include <string>

#include "cli/CliOptions.h"
#include "engine/ProxyRoute.h"

using GetEnv = std::function<const char*(const char*)>;

// The proxy variable's value for a URL of this scheme and host, unless no_proxy exempts the
// host. http:// reads http_proxy only (its upper-case form can be set by a web server's
// client, as curl holds); https:// reads https_proxy then HTTPS_PROXY; ftp:// reads ftp_proxy
// then FTP_PROXY; no_proxy then NO_PROXY. Empty values count as unset.
std::optional<std::string> ProxyFromEnvironment(int scheme, const std::string& host,
                                                const GetEnv& getenv);

// Looks the proxy's host up (IPv4) and puts the dotted quad in its place; false with a
// one-line reason when the name is unknown.
bool ResolveProxy(ProxyAddress& proxy, std::string& error);

// Resolves every proxy the options hold. Unless the settings ("useproxy") name a proxy, also
// reads the environment's proxies, each scheme's that no option overrides, into `environment`
// for the engine to choose from per URL. "" or a one-line reason: an option's proxy, or the
// one the environment gives the first URL, is malformed or unknown. Another scheme's proxy that
// cannot be used keeps its reason and fails only a redirect that would need it.
std::string ChooseProxies(CliOptions& options, int scheme, const std::string& host,
                          bool settingsUseProxy, const GetEnv& getenv,
                          EnvironmentProxies& environment);
