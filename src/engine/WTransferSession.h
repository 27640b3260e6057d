#pragma once
// WTransferSession: the state and the conversation of one attempt of one worker. Created,
// run (RunAttempt) and deleted on the worker's thread; Stop may be called from the job's owner
// thread at any time while the session exists.
//
// The common part (attempt set-up, SendCommand, segment arithmetic, data loop) lives in
// WTransferSession.cpp, the FTP sequence in FtpSequence.cpp, the HTTP sequence in
// HttpSequence.cpp.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/Failure.h"
#include "engine/SegmentLeads.h"
#include "net/WLocks.h"
#include "net/WSocket.h"
#include "settings/Settings.h"

// The engine's own reply code for a connection that failed or closed, or a stop request (a
// failure like every code from 400). Sockets are closed with Close(false, kConnectionFailed):
// without lingering, so the time is not used.
inline constexpr int kConnectionFailed = 600;

class HttpChunkDecoder;
class JobHost;
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

// Where an HTTP attempt is talking to: the URL and its parts. A redirect replaces it.
struct HttpTarget {
    std::string url;
    int scheme = 0;
    std::string host;
    int port = 0;
    std::string user;
    std::string password;
    std::string path;
    std::string extra;
    bool authorization = false;  // send the Basic authorization line
};

class WTransferSession {
public:
    // settings: the snapshot this attempt works with.
    WTransferSession(JobHost& host, const Settings& settings);
    // Closes (without lingering) and deletes every socket that still exists.
    virtual ~WTransferSession();
    WTransferSession(const WTransferSession&) = delete;
    WTransferSession& operator=(const WTransferSession&) = delete;

    // One attempt; true when the segment is complete.
    bool RunAttempt();
    // Any thread: sets stopRequested and closes the sockets under sessionLock, which makes a
    // blocked Connect, Receive or Accept of the worker return. Never waits for that call.
    void Stop();

    // Copied in by the worker before RunAttempt and (progressAnnounced) out after it.
    std::string partFileName;
    int threadNumber = 0;
    // The job's range this attempt fetches (-1: the thread's own first segment).
    int rangeId = -1;
    int RangeId() const { return rangeId < 0 ? threadNumber : rangeId; }
    int attemptIndex = 0;
    bool progressAnnounced = false;
    // Why the attempt failed, read by the worker after RunAttempt (kind None after a success
    // or a stop).
    Failure failure;

    // ---- shared by both protocols ----
    // Logs the text, sends it on controlSocket and reads the reply (FTP reply or HTTP header
    // block). kConnectionFailed when the send failed or fell short.
    int SendCommand(const std::string& text);
    // Segment arithmetic with resume from the part file. False when no positive size is known
    // (or the size text does not parse).
    bool ComputeSegment(bool sizeFromSizeReply);
    // The data loop: checks the seam, then appends what arrives to the part file until
    // `remaining` bytes are in.
    bool ReceiveSegment(bool withLeftover);
    // Reads seamBytes (leftover first). A lead window is kept (its digest) for the join; a
    // resume seam is compared with the part's tail. False when they did not all come (the
    // attempt fails), when the server sent the file's first bytes for a later offset (the job
    // turns to one whole-file connection, the part kept) or when they differ otherwise (the
    // part is emptied as stale).
    bool CheckSeam(WSocket* source);
    // Empties the part file (never through a symbolic link) and drops its record; false with
    // a log line when it cannot.
    bool EmptyPart(const std::string& why);
    // A segment begun from its first byte: forgets any earlier lead and, for a segment with
    // one, asks for the lead window before the start.
    void StartFromSegmentStart(int64_t leadLength, int rangeSupport);

    // ---- FTP (FtpSequence.cpp) ----
    bool FtpDownload(const std::string& user, const std::string& password, const std::string& host,
                     int port, const std::string& path);
    bool QueryFtpSize(const std::string& path);
    int ReadFtpReply();
    bool OpenPassiveData();
    bool OpenActiveData();
    bool StartDataTransfer(const std::string& command);
    bool Retrieve(const std::string& path);
    // True for a failed reply (code >= 400); a 5xx marks the recorded failure permanent.
    bool RefusedForGood(int code);

    // ---- HTTP (HttpSequence.cpp) ----
    bool HttpDownload(const std::string& user, const std::string& password, const std::string& host,
                      int port, const std::string& path, const std::string& extra);
    int ReadHttpHeader();
    // Checks the data request's answer before any byte is written (status, If-Range, the
    // Content-Range start and total, Content-Length, Transfer-Encoding) and sets up
    // chunkDecoder; false, with a log line, when the body must not go into the part file.
    bool CheckDataReply(int status, bool ifRangeSent);

    // The request header block for the target (the table of lines, after the method).
    std::string HttpRequestBlock(const HttpTarget& target) const;
    // "Proxy-Authorization: Basic ...\r\n" when the connection's proxy has credentials, else "".
    std::string ProxyAuthorizationLine() const;

    // ---- HTTP connections (HttpConnect.cpp) ----
    // Over controlSocket, connected to the target's host or the proxy: for https the tunnel
    // through the proxy (CONNECT) and the TLS handshake. False, with a log line, on failure.
    bool SecureControlSocket(const HttpTarget& target);
    // A new controlSocket to the target: connect, then SecureControlSocket for https.
    bool OpenHttpConnection(const HttpTarget& target);
    // After a redirect status in lastReply: checks and logs the hop, moves target to the
    // Location and opens a connection there. False, with a log line, when the redirect is
    // not followed (no Location, too many hops, a scheme that may not be reached from here).
    // Thread 0 of a fresh job may ask GET from byte 0 instead of HEAD.
    bool MayProbeWithGet();
    // GET from byte 0, redirects followed: the job learns size, range support and validator
    // from the reply, whose body is then this segment's. Its status (200 or 206), 0 when the
    // size must come from HEAD after all, kConnectionFailed when the attempt fails.
    int ProbeWithGet(HttpTarget& target, int& hops);
    // False (with a log line) when the job fetches from another URL than target's.
    bool AdoptReplyUrl(const HttpTarget& target);
    // After a HEAD without a size: GET the whole body on a new connection (reconnect) or this
    // one and keep it up to its end; the job's size becomes what came.
    bool FetchSizeless(HttpTarget& target, int& hops, bool reconnect);
    bool FollowRedirect(int status, HttpTarget& target, int& hops);
    // Sends method for target with the extra header fields, following redirects (a redirect's
    // body is never read: the connection is dropped and the request asked again). The final
    // status, or kConnectionFailed when a redirect is not followed.
    int RequestFollowingRedirects(const std::string& method, HttpTarget& target, int& hops,
                                  const std::string& fields = "");
    // False, with a log line, when this job may not fetch the URL's scheme.
    bool SchemeAllowed(int urlScheme, const std::string& url);

    // ---- state of the attempt (public so the sequences and their tests can see it) ----
    JobHost& host;
    JobFields& job;
    Settings settings;
    std::atomic<bool> stopRequested{false};
    WCriticalSection sessionLock;
    int64_t segmentStart = 0;
    std::unique_ptr<WSocket> controlSocket;
    std::unique_ptr<WSocket> dataSocket;
    std::unique_ptr<WServerSocket> listenSocket;
    std::string lastReply;
    int64_t alreadyDone = 0;
    int64_t remaining = 0;
    int scheme = 0;
    // The control connection goes through a proxy (the settings' or the environment's for
    // its URL): HTTP requests then name the whole URL, https tunnels, FTP logs in as
    // user@host.
    bool viaProxy = false;
    // The current connection's proxy wants these ("user:password"); "" for none.
    std::string proxyCredentials;
    // The URL this attempt works on: the job's current URL, then where redirects lead.
    std::string currentUrl;
    std::string leftover;
    // HTTP: set when the body comes chunked; the data loop writes only what it decodes.
    std::unique_ptr<HttpChunkDecoder> chunkDecoder;
    // HTTP: the status the data request must carry (200 or 206) and, for 206, the offset its
    // Content-Range must start at; checked by HttpDownload before any byte is written.
    int64_t requestedRangeStart = -1;
    // Resume check: a resumed part (alreadyDone > 0) first gets this many bytes from just
    // before its resume point, which must equal its last bytes before anything is appended.
    // The request starts seamBytes before segmentStart.
    int64_t seamBytes = 0;
    // The seamBytes are the lead window of a segment fetched from its start: the end of the
    // previous segment, kept for the join's check instead of compared now.
    bool seamIsLead = false;
    // The lead that this part's record carries (from this fetch or the one that began it).
    SegmentLead lead;
    // The part's record (same remote file, same segment start, a validator) vouches for its
    // bytes: a complete part so vouched needs no seam fetch.
    bool partVouched = false;
    bool targetComplete = false;  // the job keeps a target that holds the whole file
    // The seam check found the part stale and emptied it: the worker's next attempt fetches
    // the segment from its start and is not counted against the attempts.
    bool partFoundStale = false;
    // FTP: this connection's "REST 64" probe was accepted, so the server holds offset 64 until
    // the next RETR; a segment starting at byte 0 must send "REST 0" first.
    bool restProbeAccepted = false;
    // HTTP: the body has no size known beforehand; it ends with its chunked framing or when
    // the server closes the connection (then remaining only bounds the loop).
    bool bodyToEnd = false;

    // ---- helpers for the sequences ----
    // A new socket with the engine's settings (sync, IPv4, stream, protocol 0) and the job's
    // time limits, Created. Call with SocketLock() held.
    std::unique_ptr<WSocket> NewClientSocket() const;
    std::unique_ptr<WServerSocket> NewServerSocket() const;
    // Installs or removes a socket object under sessionLock, so Stop never closes one that is
    // being replaced or deleted. Passing nullptr closes and deletes the current one.
    void SetControlSocket(std::unique_ptr<WSocket> s);
    void SetDataSocket(std::unique_ptr<WSocket> s);
    void SetListenSocket(std::unique_ptr<WServerSocket> s);
    // Tests stopRequested under sessionLock, then (lock released) connects. False when stopped
    // or the connect failed.
    bool ConnectUnlessStopped(WSocket& s);
    // The total of this thread's progress reports: -1 while the body's size is unknown.
    int64_t ReportTotal() const;
    // A command as sent or a reply as received, credentials included: the log page is the
    // conversation itself.
    void LogVerbatim(const std::string& text);
    // Logs a text of the session's own to this thread's page (URLs without passwords).
    void Log(const std::string& text);
    // Records why the attempt fails, after the log line that says so: the latest one counts.
    void Fail(Failure::Kind kind, const std::string& text, bool permanent);
    void Fail(const Failure& value);
    // Reports progress for this thread (the data loop stores the job's startTick before its
    // first report of data).
    void Report(int64_t done, int64_t total, int64_t delta);
    // Creates and configures a new controlSocket under SocketLock() and installs it: aimed at
    // the proxy of the URL's protocol when "useproxy" is on (a dotted quad, never looked up),
    // else at the environment's proxy for this URL's scheme and host if there is one, else at
    // hostAddress, one of the URL host's addresses.
    // False, with a log line, when the port to connect to is outside 1..65535. Does not
    // connect: the caller does, through ConnectUnlessStopped, with no lock held.
    bool PrepareControlSocket(const std::string& urlHost, int urlPort,
                              const std::string& hostAddress);
    // True when a connection to urlHost goes to the host itself, not to a proxy.
    bool ConnectsDirectly(const std::string& urlHost) const;
    // The host's addresses from the job's lookup (no lock held), each tried in turn through
    // PrepareControlSocket and ConnectUnlessStopped; every failure is logged.
    bool ConnectControlSocket(const std::string& urlHost, int urlPort);

private:
    bool RunSteps();
    // What the control socket is aimed at, for a failure's text: "host port 80", or the proxy.
    std::string connectTarget;
    // The last line Log wrote, and whether it came after the last recorded failure: an
    // attempt that fails without a recorded reason reports that line.
    std::string lastLogged;
    bool loggedSinceFailure = false;
    int failureCount = 0;
};
