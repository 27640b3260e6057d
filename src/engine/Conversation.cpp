// The sockets of a conversation and its control connection: where it goes (the settings' proxy, the
// environment's proxy for the URL, or the host itself), the host's addresses from the job's lookup,
// and each address tried in turn, every failure logged and kept as the attempt's reason.
#include "engine/Conversation.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "engine/JobHost.h"
#include "engine/TextFormat.h"
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

WCriticalSection& SocketLock() {
    static WCriticalSection lock;
    return lock;
}

Conversation::Conversation(AttemptState& state_)
    : state(state_),
      job(state_.job),
      settings(state_.settings),
      stopRequested(state_.stopRequested) {}

Conversation::~Conversation() {
    SetDataSocket(nullptr);
    SetListenSocket(nullptr);
    SetControlSocket(nullptr);
}

void Conversation::CloseSockets() {
    WSemaphoreLock guard(&sessionLock);
    if (controlSocket) controlSocket->Close(false, kConnectionFailed);
    if (dataSocket) dataSocket->Close(false, kConnectionFailed);
    if (listenSocket) listenSocket->Close(false, kConnectionFailed);
}

namespace {

// The engine's sockets: blocking, IPv4, stream, default protocol, the job's limits, created.
template <class S>
std::unique_ptr<S> NewConfiguredSocket(const JobOptions& options) {
    auto s = std::make_unique<S>();
    s->SetAddressFamily(2);
    s->SetSocketType(1);
    s->SetProtocol(0);
    s->SetTimeouts(options.connectTimeoutMs, options.stallTimeoutMs);
    s->Create();
    return s;
}

}  // namespace

std::unique_ptr<WSocket> Conversation::NewClientSocket() const {
    return NewConfiguredSocket<WSocket>(job.options);
}

std::unique_ptr<WServerSocket> Conversation::NewServerSocket() const {
    return NewConfiguredSocket<WServerSocket>(job.options);
}

void Conversation::SetControlSocket(std::unique_ptr<WSocket> s) {
    WSemaphoreLock guard(&sessionLock);
    if (controlSocket) controlSocket->Close(false, kConnectionFailed);
    controlSocket = std::move(s);
}

void Conversation::SetDataSocket(std::unique_ptr<WSocket> s) {
    WSemaphoreLock guard(&sessionLock);
    if (dataSocket) dataSocket->Close(false, kConnectionFailed);
    dataSocket = std::move(s);
}

void Conversation::SetListenSocket(std::unique_ptr<WServerSocket> s) {
    WSemaphoreLock guard(&sessionLock);
    if (listenSocket) listenSocket->Close(false, kConnectionFailed);
    listenSocket = std::move(s);
}

bool Conversation::ConnectUnlessStopped(WSocket& s) {
    {
        WSemaphoreLock guard(&sessionLock);
        if (stopRequested) return false;
    }
    // No lock while connecting, so that Stop can close the socket and end the wait.
    return s.Connect() && !stopRequested;
}

int Conversation::SendCommand(const std::string& text) {
    LogVerbatim(text);
    const int failuresBefore = state.FailureCount();
    int code = kConnectionFailed;
    if (controlSocket) {
        const int sent = controlSocket->Send(text);
        if (sent >= 0 && static_cast<size_t>(sent) == text.size()) {
            code = ReadReply();
        }
    }
    if (code == kConnectionFailed && state.FailureCount() == failuresBefore && !stopRequested) {
        // Named by its verb only: the rest may be a password.
        const std::string verb = text.substr(0, text.find_first_of(" \r\n"));
        Fail(Failure::Kind::Network, "the connection closed before the server answered " + verb,
             false);
    }
    return code;
}

bool Conversation::ConnectsDirectly(const std::string& urlHost) const {
    return !settings.useproxy &&
           ProxyFor(job.options.environmentProxies, state.scheme, urlHost) == nullptr;
}

bool Conversation::PrepareControlSocket(const std::string& urlHost, int urlPort,
                                        const std::string& hostAddress) {
    WSemaphoreLock socketGuard(&SocketLock());
    std::unique_ptr<WSocket> s = NewClientSocket();
    const int scheme = state.scheme;
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

bool Conversation::ConnectControlSocket(const std::string& urlHost, int urlPort) {
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
