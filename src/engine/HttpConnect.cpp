// HTTP connections beyond plain TCP: TLS for https (through a CONNECT tunnel when a proxy is
// used) and the following of redirects from one URL to the next.
#include <cstring>
#include <string>

#include "engine/Base64.h"
#include "engine/HttpConversation.h"
#include "engine/HttpParse.h"
#include "engine/HttpRedirect.h"
#include "engine/JobHost.h"
#include "engine/TextFormat.h"
#include "net/WInternet.h"

namespace {

bool SameServer(const HttpTarget& a, const HttpTarget& b) {
    return a.scheme == b.scheme && a.host == b.host && a.port == b.port;
}

}  // namespace

std::string HttpConversation::ProxyAuthorizationLine() const {
    if (proxyCredentials.empty()) return "";
    return "Proxy-Authorization: Basic " + Base64Encode(proxyCredentials) + "\r\n";
}

bool SchemeAllowed(AttemptState& state, int urlScheme, const std::string& url) {
    if (urlScheme != WInternet::kSchemeHttps || state.job.options.httpsAllowed) return true;
    state.Log("Cannot fetch " + url + ": https:// URLs are not fetched here\r\n");
    return false;
}

bool HttpConversation::SecureControlSocket(const HttpTarget& target) {
    if (target.scheme != WInternet::kSchemeHttps) return true;
    if (viaProxy) {
        // The proxy only relays the bytes; TLS runs end to end with the server.
        const std::string authority = FormatText("%s:%d", target.host.c_str(), target.port);
        int status = SendCommand("CONNECT " + authority + " HTTP/1.0\r\nHost: " + authority +
                                 "\r\n" + ProxyAuthorizationLine() +
                                 "User-Agent: " + job.options.UserAgent() + "\r\n\r\n");
        if (status == kConnectionFailed) return false;
        if (status < 200 || status > 299) {
            Log(FormatText("The proxy refused the tunnel to %s (status %d)\r\n", authority.c_str(),
                           status));
            return false;
        }
        if (!leftover.empty()) {
            Log("The proxy sent data before the tunnel was up\r\n");
            return false;
        }
    }
    if (stopRequested || !controlSocket) return false;
    if (controlSocket->StartTls(job.options.tls, target.host) && !stopRequested) return true;
    if (!stopRequested) {
        std::string reason = controlSocket->GetTlsFailure();
        if (reason.empty()) reason = std::strerror(controlSocket->GetLastError());
        Log("TLS handshake with " + target.host + " failed: " + reason + "\r\n");
        // A refused certificate stays refused; a handshake cut short may not.
        const bool certificate = reason.find("certificate") != std::string::npos ||
                                 reason.find("mismatch") != std::string::npos;
        Fail(Failure::Kind::Tls, "TLS handshake with " + target.host + " failed: " + reason,
             certificate);
    }
    return false;
}

bool HttpConversation::OpenHttpConnection(const HttpTarget& target) {
    state.scheme = target.scheme;
    return ConnectControlSocket(target.host, target.port) && SecureControlSocket(target);
}

int HttpConversation::RequestFollowingRedirects(const std::string& method, HttpTarget& target,
                                                int& hops, const std::string& fields) {
    int status = SendCommand(method + " " + HttpRequestBlock(target) + fields + "\r\n");
    while (IsRedirectStatus(status)) {
        if (!FollowRedirect(status, target, hops)) return kConnectionFailed;
        status = SendCommand(method + " " + HttpRequestBlock(target) + fields + "\r\n");
    }
    return status;
}

bool HttpConversation::FollowRedirect(int status, HttpTarget& target, int& hops) {
    std::string location;
    if (!HttpFieldValue(lastReply, "Location", location) || location.empty()) {
        Log(FormatText("Redirect (status %d) without a Location\r\n", status));
        return false;
    }
    if (++hops > job.options.maxRedirects) {
        Log(FormatText("More than %d redirects: not following the one to ",
                       job.options.maxRedirects) +
            location + "\r\n");
        return false;
    }
    const std::string url = ResolveLocation(target.url, location);
    HttpTarget next;
    next.url = url;
    uint16_t port = 0;
    WInternet internet;
    if (url.empty() || !internet.CrackUrl(url, next.scheme, next.host, port, next.user,
                                          next.password, next.path, next.extra)) {
        Log("Cannot follow the redirect to " + location + "\r\n");
        return false;
    }
    next.port = port;
    next.user = WInternet::PercentDecode(next.user);
    next.password = WInternet::PercentDecode(next.password);
    if (next.scheme != WInternet::kSchemeHttp && next.scheme != WInternet::kSchemeHttps) {
        Log("Redirect to " + url + " refused: only http:// and https:// are followed\r\n");
        return false;
    }
    if (target.scheme == WInternet::kSchemeHttps && next.scheme != WInternet::kSchemeHttps) {
        Log("Redirect from https to " + url + " refused: it would leave TLS\r\n");
        return false;
    }
    if (!SchemeAllowed(state, next.scheme, url)) return false;
    // Credentials go only where they were meant for: to another server only in its own URL.
    next.authorization = target.authorization && (!next.user.empty() || SameServer(target, next));
    if (next.user.empty()) next.user = SameServer(target, next) ? target.user : settings.defuser;
    if (next.password.empty()) {
        next.password = SameServer(target, next) ? target.password : settings.defpass;
    }
    Log(FormatText("Redirect %d of %d (status %d) to ", hops, job.options.maxRedirects, status) +
        url + "\r\n");
    target = next;
    leftover.clear();
    SetControlSocket(nullptr);
    if (stopRequested) return false;
    return OpenHttpConnection(target);
}
