#pragma once
// FakeHttpServer: a scripted HTTP peer on 127.0.0.1 (ephemeral port) for engine and job tests.
// It serves one in-memory body to HEAD and GET (with byte ranges), can misbehave in the ways
// no real server does on demand (split header terminators, dropped and stalled connections,
// endless or bogus headers, ignored or shifted ranges), and records every request it got.
// One thread accepts, one thread serves each connection; every wait is bounded. The
// destructor stops everything. Accessors may be called from any thread.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// Deterministic pseudo-random bytes, so that a misplaced byte range shows.
std::string PatternBytes(size_t size, uint32_t seed = 1);
// The body in chunks of 1000 bytes, with an extension on the first; complete: the last chunk
// and a trailer follow, else the framing stops short.
std::string ChunkedBody(const std::string& body, bool complete = true);

struct FakeHttpRequest;

struct FakeHttpOptions {
    std::string body;

    enum class AcceptRanges { Bytes, None, NoneCapitalised, Absent };
    AcceptRanges acceptRanges = AcceptRanges::Bytes;
    // nginx answers HTTP/1.0 requests with an HTTP/1.1 status line.
    std::string version = "HTTP/1.1";

    // Status of HEAD answers (a 3xx carries `location` and the length of a small page).
    int headStatus = 200;
    // Nonzero: every GET is answered with this status and a small page instead of the file
    // (with `location` for a 3xx).
    int getStatus = 0;
    std::string location = "http://127.0.0.1/elsewhere";
    // When set, headStatus and getStatus apply only to requests for this target; the others
    // are served as usual (where a redirect leads).
    std::string scriptedTarget;
    // Ranged GETs get 200 and the whole body, as servers without range support do.
    bool ignoreRanges = false;
    // A 206 names the asked-for range but carries the file from byte 0.
    bool ignoreOffsets = false;
    // Added to the first and last byte of a 206 answer (Content-Range and bytes sent).
    int64_t contentRangeShift = 0;
    // Bytes sent after the asked-for range of a 206 answer, as a broken server might.
    int64_t overrunBytes = 0;
    // Content-Length value for every answer instead of the real one ("" = real).
    std::string contentLengthText;
    bool omitContentLength = false;

    // 1..3: the answer's first write ends with that many bytes of the CR LF CR LF; the rest of
    // the terminator and the body follow in a second write after a short pause.
    int splitTerminator = 0;
    // Header and body in a single write.
    bool oneWrite = false;
    // The first dropConnections GET answers close the connection after dropAfter body bytes.
    int64_t dropAfter = -1;
    int dropConnections = 0;
    // The first stallConnections GET answers stop after stallAfter body bytes and hold the
    // connection open (until the client closes it or the server stops).
    int64_t stallAfter = -1;
    int stallConnections = 0;
    // Header lines added to every answer as they stand (e.g. an ETag line).
    std::string extraHeaders;
    // Every answer is a status line followed by header lines without end (bounded at 1 MiB).
    bool endlessHeader = false;

    // Rewrites each whole answer (header block and the body bytes it would deliver) before it
    // is sent: chunked framing, bare-LF lines, other sizes, a second Content-Length...
    std::function<std::string(const FakeHttpRequest&, const std::string& answer)> rewrite;
    // Nonzero: the answer goes out one byte at a time with this many ms between the bytes.
    int trickleMs = 0;
};

struct FakeHttpRequest {
    std::string text;    // the whole header block as received
    std::string method;  // "HEAD", "GET"
    std::string target;  // as sent: "/path?query" or an absolute URL (proxy form)
    std::string range;   // value of the Range field, "" when absent
};

class FakeHttpServer {
public:
    explicit FakeHttpServer(FakeHttpOptions options);
    ~FakeHttpServer();
    FakeHttpServer(const FakeHttpServer&) = delete;
    FakeHttpServer& operator=(const FakeHttpServer&) = delete;

    int Port() const { return port; }
    // "http://127.0.0.1:<port>" followed by pathAndQuery.
    std::string Url(const std::string& pathAndQuery = "/file.bin") const;
    const std::string& Body() const { return options.body; }

    // Requests in the order they were complete.
    std::vector<FakeHttpRequest> Requests() const;
    std::vector<FakeHttpRequest> Requests(const std::string& method) const;
    int ConnectionCount() const;
    // Waits until at least count requests came, at most ms milliseconds.
    bool WaitForRequests(size_t count, int ms) const;

private:
    struct Connection {
        int fd = -1;
        bool open = true;
        std::thread thread;
    };

    void AcceptLoop();
    void Serve(Connection* connection);
    bool ReadRequest(int fd, FakeHttpRequest& request);
    void Answer(int fd, const FakeHttpRequest& request, int getIndex);
    bool SendAll(int fd, const std::string& data);
    void HoldOpen(int fd);
    void PauseBriefly();

    const FakeHttpOptions options;
    int listenFd = -1;
    int port = 0;
    std::atomic<bool> stopping{false};
    std::thread acceptThread;

    mutable std::mutex lock;
    mutable std::condition_variable requestArrived;
    std::list<Connection> connections;
    std::vector<FakeHttpRequest> requests;
    int getCount = 0;
};

}  // namespace testsupport
