#pragma once
// The HTTP/1.0 conversation of one attempt: the size (from the first GET's reply or HEAD), the
// ranged GET checked before any byte is written, redirects, the CONNECT tunnel and TLS; the
// body then goes through the data pipeline.
#include <cstdint>
#include <memory>
#include <string>

#include "engine/Conversation.h"

class HttpChunkDecoder;

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

// False, with a log line, when this job may not fetch the URL's scheme.
bool SchemeAllowed(AttemptState& state, int urlScheme, const std::string& url);

class HttpConversation : public Conversation {
public:
    explicit HttpConversation(AttemptState& state);
    ~HttpConversation() override;

    // Connects to the target (or the proxy) and fetches the attempt's segment; true when it is
    // complete, or when this thread has nothing to fetch.
    bool HttpDownload(const HttpTarget& start);

private:
    int ReadReply() override;
    // Checks the data request's answer before any byte is written (status, If-Range, the
    // Content-Range start and total, Content-Length, Transfer-Encoding) and sets up
    // chunkDecoder; false, with a log line, when the body must not go into the part file.
    bool CheckDataReply(int status, bool ifRangeSent);
    // The body of the reply just read, through the data pipeline.
    bool ReceiveBody();
    // The request header block for the target (the table of lines, after the method).
    std::string HttpRequestBlock(const HttpTarget& target) const;
    // "Proxy-Authorization: Basic ...\r\n" when the connection's proxy has credentials, else "".
    std::string ProxyAuthorizationLine() const;

    // ---- connections (HttpConnect.cpp) ----
    // Over controlSocket, connected to the target's host or the proxy: for https the tunnel
    // through the proxy (CONNECT) and the TLS handshake. False, with a log line, on failure.
    bool SecureControlSocket(const HttpTarget& target);
    // A new controlSocket to the target: connect, then SecureControlSocket for https.
    bool OpenHttpConnection(const HttpTarget& target);
    // After a redirect status in lastReply: checks and logs the hop, moves target to the
    // Location and opens a connection there. False, with a log line, when the redirect is
    // not followed (no Location, too many hops, a scheme that may not be reached from here).
    bool FollowRedirect(int status, HttpTarget& target, int& hops);
    // Sends method for target with the extra header fields, following redirects (a redirect's
    // body is never read: the connection is dropped and the request asked again). The final
    // status, or kConnectionFailed when a redirect is not followed.
    int RequestFollowingRedirects(const std::string& method, HttpTarget& target, int& hops,
                                  const std::string& fields = "");

    // ---- the size ----
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

    // Body bytes read with the last header block.
    std::string leftover;
    // Set when the body comes chunked; the pipeline writes only what it decodes.
    std::unique_ptr<HttpChunkDecoder> chunkDecoder;
    // The status the data request must carry (200 or 206) and, for 206, the offset its
    // Content-Range must start at (-1: a whole body).
    int64_t requestedRangeStart = -1;
};
