// The HTTP/1.0 conversation of one attempt: HEAD while the size is unknown, then GET with a
// byte range over a new connection, with the reply checked before any byte is written. Thread 0
// of a fresh job skips the HEAD: the reply to its GET from byte 0 gives the size.
// Redirects on either request are followed (HttpConnect.cpp) before anything else is read.
#include "engine/HttpConversation.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "engine/Base64.h"
#include "engine/DataPipeline.h"
#include "engine/HttpChunked.h"
#include "engine/HttpParse.h"
#include "engine/HttpRedirect.h"
#include "engine/JobHost.h"
#include "engine/RemoteValidator.h"
#include "engine/SegmentSetup.h"
#include "engine/TextFormat.h"
#include "net/AsciiText.h"
#include "net/WInternet.h"

namespace {

// How long the other threads wait for thread 0's first reply before asking HEAD themselves.
constexpr int kSizeProbeWaitMs = 5000;

}  // namespace

bool HttpConversation::MayProbeWithGet() {
    // Only a fresh start: a part in hand is resumed from its end, which needs the size first,
    // and -c must judge the target before anything is fetched.
    if (!job.options.sizeFromFirstGet || job.options.keepCompleteTarget ||
        job.knowledge.Size() != -1 || state.RangeId() != 0) {
        return false;
    }
    struct stat status;
    return ::lstat(state.partFileName.c_str(), &status) != 0 ||
           (S_ISREG(status.st_mode) && status.st_size == 0);
}

int HttpConversation::ProbeWithGet(HttpTarget& target, int& hops) {
    const int status = RequestFollowingRedirects("GET", target, hops, "Range: bytes=0-\r\n");
    // An empty file has no byte 0 to send; HEAD says what it is.
    if (status == 416) {
        state.ClearFailure();
        return 0;
    }
    if (status > 399) return kConnectionFailed;
    if (status != 200 && status != 206) {
        Log(FormatText("GET answered with status %d: no file size\r\n", status));
        return kConnectionFailed;
    }
    if (!AdoptReplyUrl(target)) return kConnectionFailed;
    int64_t size = -1;
    if (status == 206) {
        HttpContentRange range;
        if (HttpParseContentRange(lastReply, range) && range.first == 0) size = range.total;
    } else {
        std::string codings;
        if (HttpContentLengthsDisagree(lastReply)) {
            Log("Answer holds differing Content-Length fields: no file size\r\n");
            return kConnectionFailed;
        }
        if (!HttpTransferCodings(lastReply, codings)) size = HttpContentLength(lastReply);
    }
    if (size < 0) {
        // Some servers give a size only to HEAD.
        Log("No file size in the reply: asking with HEAD\r\n");
        return 0;
    }
    job.knowledge.LearnFile(HttpValidator(lastReply), status == 206 ? 1 : 0, size);
    job.knowledge.EndSizeProbe();
    return status;
}

bool HttpConversation::AdoptReplyUrl(const HttpTarget& target) {
    // Every thread fetches from where the first one's redirects led.
    const std::string jobUrl = job.knowledge.LearnFinalUrl(target.url);
    if (jobUrl == target.url) return true;
    Log("The job fetches from " + jobUrl + ", not from " + target.url + "\r\n");
    return false;
}

bool HttpConversation::FetchSizeless(HttpTarget& target, int& hops, bool reconnect) {
    if (reconnect && !OpenHttpConnection(target)) return false;
    if (!controlSocket || controlSocket->GetState() != Connected || stopRequested) return false;
    requestedRangeStart = -1;
    const int status = RequestFollowingRedirects("GET", target, hops);
    if (status > 399 || !CheckDataReply(status, false)) return false;
    // A length on the GET, where HEAD had none, is the size after all.
    std::string lengthText;
    const int64_t length = chunkDecoder ? -1 : HttpContentLength(lastReply);
    state.bodyToEnd = chunkDecoder || !HttpFieldValue(lastReply, "Content-Length", lengthText);
    if (!state.bodyToEnd && length < 0) {
        Log("Content-Length " + lengthText + " is no size\r\n");
        return false;
    }
    if (!state.bodyToEnd) job.knowledge.LearnSize(length);
    // Only bounds the loop when the end is the connection's or the framing's.
    state.segment = WholeFileSegment(state.bodyToEnd ? INT64_MAX / 2 : length);
    if (!ReceiveBody()) return false;
    job.knowledge.LearnSize(state.segment.end);
    return true;
}

std::string HttpConversation::HttpRequestBlock(const HttpTarget& t) const {
    const bool https = t.scheme == WInternet::kSchemeHttps;
    std::string block;
    // Through a proxy, https goes through a tunnel to the server, so its requests are the
    // server's own.
    if (viaProxy && !https) {
        block =
            FormatText("http://%s:%d", t.host.c_str(), t.port) + t.path + t.extra + " HTTP/1.0\r\n";
        block += "Proxy-Connection: Close\r\n";
        block += "Pragma: No-Cache\r\n";
        block += ProxyAuthorizationLine();
    } else {
        block = t.path + t.extra + " HTTP/1.0\r\n";
        block += "Connection: Close\r\n";
    }
    // An IPv6 address goes in brackets, as in the URL.
    const bool v6 = t.host.find(':') != std::string::npos;
    block += FormatText(v6 ? "Host: [%s]:%d\r\n" : "Host: %s:%d\r\n", t.host.c_str(), t.port);
    block += "Accept: */*\r\n";
    block += (https ? "Referer: https://" : "Referer: http://") + t.host + "\r\n";
    if (t.authorization) {
        block += "Authorization: Basic " + Base64Encode(t.user + ":" + t.password) + "\r\n";
    }
    block += "User-Agent: " + job.options.UserAgent() + "\r\n";
    return block;
}

HttpConversation::HttpConversation(AttemptState& state_) : Conversation(state_) {}

HttpConversation::~HttpConversation() = default;

bool HttpConversation::ReceiveBody() {
    BodySource body;
    body.socket = controlSocket.get();
    body.lock = &sessionLock;
    body.leftover = std::move(leftover);
    leftover.clear();
    body.chunks = chunkDecoder.get();
    return ReceiveSegment(state, body);
}

bool HttpConversation::HttpDownload(const HttpTarget& start) {
    HttpTarget target = start;
    if (!OpenHttpConnection(target)) return false;
    int hops = 0;

    // Threads after the first, connected already, wait for the first one's reply instead of
    // asking the size themselves, unless it led elsewhere.
    if (state.threadNumber > 0 && job.knowledge.Size() == -1) {
        job.knowledge.WaitForSizeProbe(kSizeProbeWaitMs, stopRequested);
        if (stopRequested) return false;
        // Thread 0's answer ended the job (a 404): no request of ours can mend it.
        if (job.noMoreAttempts) return false;
        if (job.knowledge.Sizeless()) return true;
    }
    const bool probe = state.threadNumber == 0 && MayProbeWithGet();
    if (state.threadNumber == 0 && !probe) job.knowledge.EndSizeProbe();
    int dataStatus = 0;  // the status of a GET already answered
    bool reconnect = false;
    if (probe) {
        dataStatus = ProbeWithGet(target, hops);
        if (dataStatus == kConnectionFailed) return false;
        // 0: the size comes from HEAD, on a new connection; the others wait for that too.
        reconnect = dataStatus == 0;
    }
    if (dataStatus == 0 && (job.knowledge.Size() == -1 || job.CurrentUrl() != target.url)) {
        if (reconnect && !OpenHttpConnection(target)) return false;
        const int status = RequestFollowingRedirects("HEAD", target, hops);
        if (status > 399) return false;
        // The size of an interim or other answer is not the file's.
        if (status < 200 || status > 299) {
            Log(FormatText("HEAD answered with status %d: no file size\r\n", status));
            return false;
        }
        if (!AdoptReplyUrl(target)) return false;
        SetControlSocket(nullptr);
        reconnect = true;
        if (HttpContentLengthsDisagree(lastReply)) {
            Log("HEAD answer holds differing Content-Length fields: no file size\r\n");
            return false;
        }
        // Before the size is stored: whoever finds the size finds the validator too.
        job.knowledge.LearnFile(HttpValidator(lastReply), HttpRangeSupport(lastReply), -1);
        std::string lengthText;
        // Nothing to split without a size: one connection, and no part beside the target.
        if (status == 200 && job.knowledge.Size() == -1 &&
            !HttpFieldValue(lastReply, "Content-Length", lengthText) &&
            job.knowledge.LearnSizeless()) {
            Log("No file size in the reply: the whole body is fetched over one connection, "
                "up to its end\r\n");
        }
    }
    if (job.knowledge.Sizeless()) {
        if (state.threadNumber > 0) return true;
        job.knowledge.EndSizeProbe();
        return FetchSizeless(target, hops, reconnect);
    }

    // Without byte ranges thread 0 fetches the whole file and the others have nothing to do.
    if (job.knowledge.RangeSupport() == 0 && state.threadNumber > 0) return true;
    if (!ComputeSegment(state, HttpContentLength(lastReply))) return false;
    if (state.threadNumber == 0) job.knowledge.EndSizeProbe();
    if (state.targetComplete) return true;
    int rangeSupport = job.knowledge.RangeSupport();
    Segment& segment = state.segment;
    if (rangeSupport == 1 && !state.progressAnnounced) {
        state.Report(segment.done, segment.Length(), segment.done);
        state.progressAnnounced = true;
    }
    // Without byte ranges thread 0 fetches the whole file (PlanFetch), unless a vouched target
    // holds it all already.
    if (rangeSupport == 0 && state.threadNumber > 0) return true;
    if (segment.Complete()) return true;
    if (stopRequested) return false;
    if (dataStatus != 0) {
        // The probe's body: this segment from byte 0, or the whole file.
        requestedRangeStart = rangeSupport == 1 ? 0 : -1;
        if (segment.Start() != 0 || segment.seamBytes != 0) return false;
        if (!CheckDataReply(dataStatus, false)) return false;
        return ReceiveBody();
    }

    if (reconnect) {
        // Every request says "Connection: Close", so the data request needs a new connection.
        if (!OpenHttpConnection(target)) return false;
    }
    if (!controlSocket || controlSocket->GetState() != Connected || stopRequested) return false;

    // A changed file answers If-Range with 200: nothing of it may go into this segment.
    const std::string ifRange = IfRangeValue(job.knowledge.Validator());
    std::string rangeLine;
    requestedRangeStart = -1;
    if (rangeSupport == 1) {
        requestedRangeStart = segment.RequestStart();
        rangeLine = FormatText("Range: bytes=%lld-%lld\r\n", AsLong(requestedRangeStart),
                               AsLong(segment.end - 1));
        if (!ifRange.empty()) rangeLine += "If-Range: " + ifRange + "\r\n";
    }
    const int status = RequestFollowingRedirects("GET", target, hops, rangeLine);
    if (status > 399) return false;
    if (!CheckDataReply(status, !ifRange.empty())) return false;
    return ReceiveBody();
}

bool HttpConversation::CheckDataReply(int status, bool ifRangeSent) {
    // Only the asked-for bytes of this very file may go into the part file: a full body, a
    // redirect page, a range from elsewhere or a file of another size would corrupt it.
    const int64_t fileSize = job.knowledge.Size();
    // Several fields form one list; any coding besides a lone chunked would leave coded
    // bytes in the file, so the attempt ends instead.
    std::string codings;
    const bool chunked = HttpTransferCodings(lastReply, codings);
    if (chunked && !HttpCodingsAreChunked(codings)) {
        Log("Transfer-Encoding " + codings +
            " is not supported (only chunked alone is decoded)\r\n");
        return false;
    }
    // A chunked body frames itself; its Content-Length, if any, means nothing.
    const int64_t length = chunked ? -1 : HttpContentLength(lastReply);
    if (!chunked && HttpContentLengthsDisagree(lastReply)) {
        Log("Answer holds differing Content-Length fields\r\n");
        return false;
    }
    if (requestedRangeStart >= 0) {
        HttpContentRange range;
        if (status == 200 && ifRangeSent) {
            Log("The remote file changed during the job (If-Range answered 200): " +
                state.partFileName + " is not resumed from it\r\n");
            return false;
        }
        if (status != 206) {
            Log(FormatText("Range request answered with status %d instead of 206\r\n", status));
            return false;
        }
        if (!HttpParseContentRange(lastReply, range) || range.first != requestedRangeStart) {
            Log(FormatText("Content-Range does not start at byte %lld\r\n",
                           AsLong(requestedRangeStart)));
            return false;
        }
        if (range.total >= 0 && range.total != fileSize) {
            Log(
                FormatText("Content-Range gives a file of %lld bytes, not %lld: the file "
                           "changed or the server is inconsistent\r\n",
                           AsLong(range.total), AsLong(fileSize)));
            return false;
        }
        if (length >= 0 && length != range.last - range.first + 1) {
            Log(FormatText("Content-Length %lld does not match Content-Range %lld-%lld\r\n",
                           AsLong(length), AsLong(range.first), AsLong(range.last)));
            return false;
        }
    } else if (status != 200) {
        Log(FormatText("Request answered with status %d instead of 200\r\n", status));
        return false;
    } else if (length >= 0 && fileSize >= 0 && length != fileSize) {
        Log(
            FormatText("Content-Length %lld is not the file size %lld: the file changed or "
                       "the server is inconsistent\r\n",
                       AsLong(length), AsLong(fileSize)));
        return false;
    }
    chunkDecoder.reset(chunked ? new HttpChunkDecoder : nullptr);
    if (chunkDecoder) {
        // The body bytes that came with the header are framed too.
        leftover.resize(chunkDecoder->Decode(leftover.data(), leftover.size()));
        if (chunkDecoder->GetState() == HttpChunkDecoder::State::Bad) {
            Log("Bad chunked body: " + chunkDecoder->Error() + "\r\n");
            return false;
        }
    }
    return true;
}

int HttpConversation::ReadReply() {
    HttpHeaderReader reader;
    char chunk[1024];
    if (!controlSocket) return kConnectionFailed;
    // The whole block within one stall limit: a server trickling a byte at a time must not
    // hold the attempt for hours.
    BlockDeadline deadline(*controlSocket);
    while (reader.GetState() == HttpHeaderReader::State::NeedMore) {
        if (stopRequested) return kConnectionFailed;
        int n = controlSocket->Receive(chunk, static_cast<int>(sizeof chunk));
        if (n < 0 && controlSocket->GetLastError() == ETIMEDOUT && !stopRequested) {
            Log("No complete header block within the stall limit\r\n");
            Fail(Failure::Kind::Network,
                 "no complete header block within the stall limit: timed out", false);
        } else if (n < 0 && !stopRequested) {
            Fail(Failure::Kind::Network,
                 std::string("the connection failed before the server answered: ") +
                     std::strerror(controlSocket->GetLastError()),
                 false);
        }
        if (n <= 0 || stopRequested) return kConnectionFailed;
        reader.Feed(chunk, static_cast<size_t>(n));
    }
    if (reader.GetState() == HttpHeaderReader::State::TooLarge) {
        Log(FormatText("Header block larger than %zu bytes\r\n",
                       HttpHeaderReader::kMaxHeaderBytes));
        return kConnectionFailed;
    }
    lastReply = reader.Header();
    LogVerbatim(lastReply + "\r\n");
    leftover = reader.Leftover();
    int status = HttpStatusCode(lastReply);
    if (status < 0) return kConnectionFailed;
    // A field some peers read and others skip (a blank before the colon, a folded line) could
    // hide the framing this engine sees from the one the server meant.
    const std::string ambiguous = HttpAmbiguousFieldLine(lastReply);
    if (!ambiguous.empty()) {
        Log("Malformed header line: " + ambiguous + "\r\n");
        return kConnectionFailed;
    }
    if (status >= 200 && status <= 299)
        job.knowledge.LearnDisposition(HttpDispositionFilename(lastReply));
    if (status >= 400) {
        std::string retryAfter;
        HttpFieldValue(lastReply, "Retry-After", retryAfter);
        Fail(HttpStatusFailure(status, lastReply.substr(0, lastReply.find_first_of("\r\n")),
                               std::string(TrimAscii(retryAfter))));
    }
    return status;
}
