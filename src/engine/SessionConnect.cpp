// The control connection of an attempt: where it goes (the settings' proxy, the environment's
// proxy for the URL, or the host itself), the host's addresses from the job's lookup, and each
// address tried in turn, every failure logged and kept as the attempt's reason.
#include <arpa/inet.h>
#include <netdb.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "engine/JobHost.h"
#include "engine/TextFormat.h"
#include "engine/WTransferSession.h"
#include "net/WInternet.h"

namespace {

// Why the control connection did not come up, for the thread's log: the attempt lines alone
// would not tell a refused port from an unknown host.
std::string ConnectReason(int error) {
    if (error < 0) return gai_strerror(error);
    if (error > 0) return std::strerror(error);
    return "no connection";
}

std::string ConnectFailureText(int error, const std::string& urlHost) {
    return "Cannot connect to " + urlHost + ": " + ConnectReason(error) + "\r\n";
}

}  // namespace

bool WTransferSession::ConnectsDirectly(const std::string& urlHost) const {
    return !settings.useproxy &&
           ProxyFor(job.options.environmentProxies, scheme, urlHost) == nullptr;
}

bool WTransferSession::PrepareControlSocket(const std::string& urlHost, int urlPort,
                                            const std::string& hostAddress) {
    WSemaphoreLock socketGuard(&SocketLock());
    std::unique_ptr<WSocket> s = NewClientSocket();
    bool ok = true;
    viaProxy = false;
    proxyCredentials.clear();
    // Decided per connection: a redirect to another scheme or host gets its own route.
    const ProxyEndpoint* environmentProxy =
        settings.useproxy ? nullptr : ProxyFor(job.options.environmentProxies, scheme, urlHost);
    if (!stopRequested) {
        if (settings.useproxy) {
            viaProxy = true;
            bool ftp = scheme == WInternet::kSchemeFtp;
            int port = ftp ? settings.ftpproxyport : settings.proxyport;
            const std::string& address = ftp ? settings.ftpproxyaddr : settings.proxyaddr;
            if (port < 1 || port > 65535) {
                Log(FormatText("Proxy port %d is out of range 1..65535\r\n", port));
                ok = false;
            } else if (::inet_addr(address.c_str()) == htonl(INADDR_ANY)) {
                // The settings' "000.0.0.000" means unset; 0.0.0.0 would reach this machine.
                Log("No proxy address is set (" + address + ")\r\n");
                ok = false;
            } else {
                s->SetRemotePort(port);
                s->SetRemoteAddress(address);
                connectTarget = FormatText("the proxy %s port %d", address.c_str(), port);
                if (!ftp) proxyCredentials = job.options.proxyCredentials;
            }
        } else if (environmentProxy != nullptr) {
            viaProxy = true;
            if (!environmentProxy->error.empty()) {
                Log("Cannot use the proxy for " + urlHost + ": " + environmentProxy->error +
                    "\r\n");
                ok = false;
            } else {
                s->SetRemotePort(environmentProxy->port);
                s->SetRemoteAddress(environmentProxy->address);
                connectTarget =
                    FormatText("the proxy %s port %d", environmentProxy->address.c_str(),
                               environmentProxy->port);
                proxyCredentials = environmentProxy->credentials;
            }
        } else if (urlPort < 1 || urlPort > 65535) {
            Log(FormatText("Port %d is out of range 1..65535\r\n", urlPort));
            ok = false;
        } else {
            s->SetRemotePort(urlPort);
            s->SetRemoteAddress(hostAddress);
            connectTarget = FormatText("%s port %d", urlHost.c_str(), urlPort);
        }
    }
    SetControlSocket(std::move(s));
    return ok;
}

// ---- the attempt ----

bool WTransferSession::ConnectControlSocket(const std::string& urlHost, int urlPort) {
    std::vector<std::string> addresses{""};
    if (ConnectsDirectly(urlHost)) {
        const HostLookup::Result found = job.knowledge.hosts.Find(urlHost, stopRequested);
        if (found.stopped || stopRequested) return false;
        if (found.error != 0) {
            Log(ConnectFailureText(found.error, urlHost));
            // A name the resolver does not know stays unknown; a failed lookup may not.
            const bool unknown = found.error == EAI_NONAME
#ifdef EAI_NODATA
                                 || found.error == EAI_NODATA
#endif
                ;
            Fail(Failure::Kind::Network,
                 "cannot resolve " + urlHost + ": " + ConnectReason(found.error), unknown);
            return false;
        }
        addresses = found.addresses;
    }
    for (const std::string& address : addresses) {
        if (!PrepareControlSocket(urlHost, urlPort, address)) return false;
        if (ConnectUnlessStopped(*controlSocket) && controlSocket->GetState() == Connected &&
            !stopRequested) {
            return true;
        }
        if (stopRequested) return false;
        // With several addresses the line says which one refused.
        const std::string named = addresses.size() > 1 ? urlHost + " (" + address + ")" : urlHost;
        Log(ConnectFailureText(controlSocket->GetLastError(), named));
        Fail(Failure::Kind::Network,
             "cannot connect to " + connectTarget + ": " +
                 ConnectReason(controlSocket->GetLastError()),
             false);
    }
    return false;
}
