// One attempt: the URL split and checked, then the FTP or HTTP conversation.
#include "engine/WTransferSession.h"

#include "engine/FtpConversation.h"
#include "engine/HttpConversation.h"
#include "engine/JobHost.h"
#include "engine/TextFormat.h"
#include "net/AsciiText.h"
#include "net/WInternet.h"

namespace {

// Keeps the conversation visible to Stop while it runs.
class ActiveConversation {
public:
    ActiveConversation(WCriticalSection& lock_, Conversation*& active_, Conversation& c)
        : lock(lock_), active(active_) {
        WSemaphoreLock guard(&lock);
        active = &c;
    }
    ~ActiveConversation() {
        WSemaphoreLock guard(&lock);
        active = nullptr;
    }
    ActiveConversation(const ActiveConversation&) = delete;
    ActiveConversation& operator=(const ActiveConversation&) = delete;

private:
    WCriticalSection& lock;
    Conversation*& active;
};

}  // namespace

WTransferSession::WTransferSession(JobHost& host, const Settings& settings)
    : state(host, settings) {}

WTransferSession::~WTransferSession() = default;

void WTransferSession::Stop() {
    state.stopRequested = true;
    state.job.knowledge.WakeSizeProbeWaiters();
    state.job.knowledge.hosts.Wake();
    WSemaphoreLock guard(&activeLock);
    if (active != nullptr) active->CloseSockets();
}

bool WTransferSession::RunAttempt() {
    state.ClearFailure();
    const bool ok = RunSteps();
    failure = state.Conclude(ok);
    return ok;
}

bool WTransferSession::RunSteps() {
    const Settings& settings = state.settings;
    state.Log(FormatText("ATTEMPTION #%d\r\n\r\n", state.attemptIndex));

    std::string urlHost, user, password, path, extra;
    uint16_t urlPort = 0;
    const std::string url = state.job.CurrentUrl();
    {
        WSemaphoreLock socketGuard(&SocketLock());
        WInternet internet;
        if (!internet.CrackUrl(url, state.scheme, urlHost, urlPort, user, password, path, extra)) {
            state.Log("Cannot split the URL " + url + "\r\n");
            state.Fail(Failure::Kind::Other, "cannot split the URL " + url, true);
            return false;
        }
    }
    const bool ftp = state.scheme == WInternet::kSchemeFtp;
    // A URL carries "@", ":" and the like escaped; the server must get them as they are. The
    // settings' defaults are plain text already.
    user = WInternet::PercentDecode(user);
    password = WInternet::PercentDecode(password);
    if (user.empty()) user = settings.defuser;
    if (password.empty()) password = settings.defpass;
    // A line break in a name or password would end the command early and send the rest as a
    // command of its own ("\r\nDELE f", or "%0D%0ADELE f" once decoded). Refused before
    // anything is sent. HTTP sends them only Base64-encoded, and only with authorization on.
    const bool sendsCredentials = ftp || settings.useauthorization;
    if (sendsCredentials && (HasControlChar(user) || HasControlChar(password))) {
        state.Log("The user name or password holds a control character: refused\r\n");
        state.Fail(Failure::Kind::Other, "the user name or password holds a control character",
                   true);
        return false;
    }
    if (!SchemeAllowed(state, state.scheme, url)) return false;
    if (ftp) {
        // An FTP server takes a path as it is: "%20" in the URL is a blank in the file's name.
        // A decoded line break would end the command, so such a path is refused.
        path = WInternet::PercentDecode(path);
        if (HasControlChar(path)) {
            state.Log("The path holds a control character: refused\r\n");
            state.Fail(Failure::Kind::Other, "the path holds a control character", true);
            return false;
        }
        FtpConversation conversation(state);
        ActiveConversation shown(activeLock, active, conversation);
        return conversation.FtpDownload(user, password, urlHost, urlPort, path);
    }
    HttpConversation conversation(state);
    ActiveConversation shown(activeLock, active, conversation);
    return conversation.HttpDownload(HttpTarget{url, state.scheme, urlHost, urlPort, user, password,
                                                path, extra, settings.useauthorization});
}
