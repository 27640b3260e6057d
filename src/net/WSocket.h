#pragma once
// Blocking IPv4 TCP sockets for the transfer engine: WSocket for the FTP control and data
// connections and the HTTP connection, WServerSocket for the listening end of an active-mode
// FTP data connection.
//
// Threads: a socket belongs to one worker thread, which makes every call on it. The one call
// another thread may make is Close (the UI thread cancelling a worker): it wakes a Connect,
// Send, Receive or Accept blocked on the same socket, and the descriptor stays reserved until
// that call has returned, so a reused descriptor number is never touched by mistake.
// GetState, GetLastError and the address getters are safe from any thread.
//
// Every wait has a limit: Connect gives up after the connect limit, Send, Receive and Accept
// after the stall limit without progress; the call then fails with lastError ETIMEDOUT.
// After StartTls, Send and Receive carry TLS over the same waits; the handshake itself is held
// to the shorter of the two limits.
#include <memory>
#include <string>
#include <string_view>
#include <vector>

using WBuffer = std::vector<char>;

// How a TLS connection checks its server (StartTls).
struct TlsOptions {
    std::string caFile;     // trust these CA certificates (PEM) instead of the system's
    bool insecure = false;  // no check at all
};

enum WSocketState : int {
    Idle = 0,
    Listening = 1,
    Accepting = 2,
    Resolving = 3,
    Resolved = 4,
    Connecting = 5,
    Connected = 6,
    Closing = 7,
    Error = 8
};

struct WSocketImp;

// The socket record and every operation on it; WSocket and WServerSocket add no data.
// Owner thread: all calls. Any thread: Close (to cancel), GetState, GetLastError, getters.
class WBaseSocket {
public:
    WBaseSocket();
    virtual ~WBaseSocket();
    WBaseSocket(const WBaseSocket&) = delete;
    WBaseSocket& operator=(const WBaseSocket&) = delete;

    // Configuration, accepted only in Idle. Blocking stream sockets only: no event-driven mode
    // and no datagram forms.
    bool SetAddressFamily(int family);
    bool SetSocketType(int type);
    bool SetProtocol(int protocol);
    // Creates the OS socket unless one exists; the state stays Idle.
    bool Create();

    // Blocking name lookup (first IPv4 address). A failed lookup stores the resolver's
    // EAI_ code (negative) in lastError, or errno for a system error.
    bool SetRemoteHost(const std::string& hostName);
    // Takes the text as an IPv4 address unchecked: text that is not one gives 255.255.255.255.
    bool SetRemoteAddress(const std::string& dottedQuad);
    bool SetRemotePort(int port);
    bool SetLocalPort(int port);

    // The interface to bind to (before Listen or Connect); false for text that is no address.
    bool SetLocalAddress(const std::string& dottedQuad);
    // The peer as dotted-quad text (after Connect or Accept).
    std::string GetRemoteAddress() const;
    // Read back from the OS after Connect, Listen and Accept.
    std::string GetLocalAddress() const;
    int GetLocalPort() const;
    int GetState() const;
    int GetLastError() const;

    bool Connect();
    // Sends `length` bytes (all when negative) from the start of the data on the connection;
    // -1 when length exceeds the data or the send fails.
    int Send(const char* data, int size, int length = -1);
    int Send(const WBuffer& data, int length = -1);
    int Send(std::string_view text);
    // One read of at most maxLength bytes (the buffer's size when negative): bytes read,
    // 0 when the peer has closed (the state stays Connected), -1 on failure.
    int Receive(char* buffer, int bufferSize, int maxLength = -1);
    int Receive(WBuffer& buffer, int maxLength = -1);
    // Receive into the write end of an empty pipe instead of a buffer (splice), for a plain
    // connection only: -1 with lastError EOPNOTSUPP after StartTls.
    int ReceiveToPipe(int pipeFd, int maxLength);
    // True after a successful StartTls, until Close.
    bool CarriesTls() const;
    // Refused in Idle, Closing and Error. On success the record is reset to Idle. A call
    // it cancels on the owner thread returns false / -1 (Accept: a socket in Error) and
    // leaves the record as Close reset it.
    bool Close(bool linger, int lingerSeconds);

    // A limit on a whole exchange (an FTP reply, an HTTP header block, a wait for the right
    // peer): from Begin until one stall limit has passed, Receive and Accept fail with
    // ETIMEDOUT however the bytes trickle in. End lifts it.
    void BeginBlockDeadline();
    void EndBlockDeadline();

    // Owner thread, Connected: a TLS handshake on the connection, with serverName sent as SNI
    // (unless it is an address) and checked against the certificate (unless
    // options.insecure). Afterwards Send and Receive carry TLS. False on failure: the state
    // becomes Error, lastError EPROTO (or the wait's error) and GetTlsFailure says why.
    bool StartTls(const TlsOptions& options, const std::string& serverName);
    // Why the last TLS call failed ("certificate has expired"), "" when none did.
    std::string GetTlsFailure() const;

    // Time limits in milliseconds for this socket (an accepted socket takes its server's);
    // <= 0 means the built-in 30000 for connecting and 60000 without progress.
    void SetTimeouts(int connectMs, int stallMs);

protected:
    bool ListenImpl();
    void AcceptInto(WBaseSocket& target);

private:
    std::unique_ptr<WSocketImp> imp_;
};

// A client or accepted connection (FTP control and data, HTTP); used by one worker thread.
class WSocket : public WBaseSocket {};

// The listening end of an active-mode FTP data connection; used by one worker thread.
class WServerSocket : public WBaseSocket {
public:
    // Binds (to localAddress when not yet bound) and listens with a backlog of 5.
    bool Listen();
    // Waits for one peer. Never null: the new socket is Connected, or Error when the accept
    // failed, timed out or was cancelled by Close.
    std::unique_ptr<WSocket> Accept();
};
