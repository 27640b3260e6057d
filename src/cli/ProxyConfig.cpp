#include "cli/ProxyConfig.h"

std::string ChooseProxies(CliOptions& options, int scheme, const std::string& host,
                          bool settingsUseProxy, const GetEnv& getenv,
                          EnvironmentProxies& environment) {
    environment = EnvironmentProxies();
    std::string error;
    for (std::optional<ProxyAddress>* proxy : {&options.proxy, &options.ftpProxy}) {
        if (*proxy && !ResolveProxy(**proxy, error)) return error;
    }
    if (settingsUseProxy) return "";
    environment =
        ReadEnvironmentProxies(getenv, options.proxy.has_value(), options.ftpProxy.has_value());
    // The first URL's proxy is checked before anything starts, as an option's is.
    const ProxyEndpoint* first = ProxyFor(environment, scheme, host);
    return first != nullptr ? first->error : "";
}
