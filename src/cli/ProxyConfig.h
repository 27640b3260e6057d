#pragma once
// Which proxies a brindle-get job uses: the options, else the settings file's, else the
// standard environment variables (ProxyEnvironment.h, shared with the window), which the
// engine applies to every URL it fetches (ProxyRoute.h). Main thread only.
#include <string>

#include "cli/CliOptions.h"
#include "engine/ProxyEnvironment.h"
#include "engine/ProxyRoute.h"

// Resolves every proxy the options hold. Unless the settings ("useproxy") name a proxy, also
// reads the environment's proxies, each scheme's that no option overrides, into `environment`
// for the engine to choose from per URL. "" or a one-line reason: an option's proxy, or the
// one the environment gives the first URL, is malformed or unknown. Another scheme's proxy that
// cannot be used keeps its reason and fails only a redirect that would need it.
std::string ChooseProxies(CliOptions& options, int scheme, const std::string& host,
                          bool settingsUseProxy, const GetEnv& getenv,
                          EnvironmentProxies& environment);
