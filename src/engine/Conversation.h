#pragma once
// Conversation: what the FTP and HTTP conversations of one attempt share: their sockets, the
// control connection's set-up (route, the host's addresses, each tried in turn), and sending a
// command and reading its reply. Runs on the worker's thread; CloseSockets may be called from
// any thread while the conversation exists, which is why every socket object is installed and
// removed under sessionLock and no blocking call is made while that lock is held.
#include <atomic>
#include <memory>
#include <string>

#include "engine/AttemptState.h"
#include "net/WLocks.h"
#include "net/WSocket.h"

struct JobFields;

// Process-wide lock held while a socket is created and configured (and the URL split).
WCriticalSection& SocketLock();

// Holds a socket's block deadline for one reply, header block or accept (see WSocket).
class BlockDeadline {
public:
    explicit BlockDeadline(WBaseSocket& s) : socket(s) { socket.BeginBlockDeadline(); }
    ~BlockDeadline() { socket.EndBlockDeadline(); }
    BlockDeadline(const BlockDeadline&) = delete;
    BlockDeadline& operator=(const BlockDeadline&) = delete;

private:
    WBaseSocket& socket;
};

class Conversation {
public:
    explicit Conversation(AttemptState& state);
    // Closes (without lingering) and deletes every socket that still exists.
    virtual ~Conversation();
    Conversation(const Conversation&) = delete;
    Conversation& operator=(const Conversation&) = delete;

    // Any thread: closes the sockets under sessionLock, which makes a blocked Connect, Receive
    // or Accept of the worker return. Never waits for that call.
    void CloseSockets();

protected:
    // Logs the text, sends it on controlSocket and reads the reply. kConnectionFailed when the
    // send failed or fell short.
    int SendCommand(const std::string& text);
    // The reply to a command: an FTP reply or an HTTP header block, into lastReply.
    virtual int ReadReply() = 0;

    // True when a connection to urlHost goes to the host itself, not to a proxy.
    bool ConnectsDirectly(const std::string& urlHost) const;
    // The host's addresses from the job's lookup (no lock held), each tried in turn through
    // PrepareControlSocket and ConnectUnlessStopped; every failure is logged.
    bool ConnectControlSocket(const std::string& urlHost, int urlPort);
    // A new controlSocket, configured under SocketLock(): aimed at the proxy of the URL's
    // protocol when "useproxy" is on (a dotted quad, never looked up), else at the
    // environment's proxy for this URL's scheme and host if there is one, else at hostAddress.
    // False, with a log line, when the port is outside 1..65535. Does not connect.
    bool PrepareControlSocket(const std::string& urlHost, int urlPort,
                              const std::string& hostAddress);
    // A new socket with the engine's settings and the job's time limits, Created. Call with
    // SocketLock() held.
    std::unique_ptr<WSocket> NewClientSocket() const;
    std::unique_ptr<WServerSocket> NewServerSocket() const;
    // Installs or removes a socket object under sessionLock, so CloseSockets never closes one
    // that is being replaced or deleted. Passing nullptr closes and deletes the current one.
    void SetControlSocket(std::unique_ptr<WSocket> s);
    void SetDataSocket(std::unique_ptr<WSocket> s);
    void SetListenSocket(std::unique_ptr<WServerSocket> s);
    // Tests stopRequested under sessionLock, then (lock released) connects. False when stopped
    // or the connect failed.
    bool ConnectUnlessStopped(WSocket& s);

    void Log(const std::string& text) { state.Log(text); }
    void LogVerbatim(const std::string& text) { state.LogVerbatim(text); }
    void Fail(Failure::Kind kind, const std::string& text, bool permanent) {
        state.Fail(kind, text, permanent);
    }
    void Fail(const Failure& value) { state.Fail(value); }

    AttemptState& state;
    JobFields& job;
    const Settings& settings;
    const std::atomic<bool>& stopRequested;
    WCriticalSection sessionLock;
    std::unique_ptr<WSocket> controlSocket;
    std::unique_ptr<WSocket> dataSocket;
    std::unique_ptr<WServerSocket> listenSocket;
    std::string lastReply;
    // The control connection goes through a proxy (the settings' or the environment's for
    // its URL): HTTP requests then name the whole URL, https tunnels, FTP logs in as
    // user@host.
    bool viaProxy = false;
    // The current connection's proxy wants these ("user:password"); "" for none.
    std::string proxyCredentials;

private:
    // What the control socket is aimed at, for a failure's text: "host port 80", or the proxy.
    std::string connectTarget;
};
