// The common part of one attempt: set-up and connection, command exchange, segment arithmetic
// with resume from the part file, and the data loop.
#include "engine/WTransferSession.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "engine/FtpParse.h"
#include "engine/HttpChunked.h"
#include "engine/HttpParse.h"
#include "engine/JobHost.h"
#include "engine/PartFileWriter.h"
#include "engine/PartRecord.h"
#include "engine/TextFormat.h"
#include "net/AsciiText.h"
#include "net/TickCount.h"
#include "net/WInternet.h"

namespace {

constexpr int kDefaultBufferSize = 4096;
constexpr int kMaxBufferSize = 16 * 1024 * 1024;

// The receive buffer size a "bufsize" value stands for: the file may hold anything.
int UsableBufferSize(int bufsize) {
    if (bufsize < 1) return kDefaultBufferSize;
    return std::min(bufsize, kMaxBufferSize);
}

// Bytes a resumed segment fetches again from just before its resume point.
constexpr int64_t kSeamBytes = 4096;

// Cuts a regular file to size without following a link; false with errno set.
bool CutFile(const std::string& path, int64_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::ftruncate(fd, static_cast<off_t>(size)) == 0;
    const int error = errno;
    ::close(fd);
    errno = error;
    return ok;
}

// Reads `size` bytes at `offset` of a regular file (never through a link); false when they
// are not all there.
bool ReadFileBytes(const std::string& path, int64_t offset, size_t size, std::string& bytes) {
    bytes.assign(size, '\0');
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    const ssize_t n = ::pread(fd, bytes.data(), size, static_cast<off_t>(offset));
    ::close(fd);
    return n == static_cast<ssize_t>(size);
}

// The whole file is fetched again from byte 0: the part loses what it held. Emptied in place
// rather than deleted, so that the job's lock on the target stays on the file we write; a
// symlink in its place is only removed, never written through.
void EmptyPartFile(const std::string& name) {
    const int fd = ::open(name.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
    } else if (errno == ELOOP) {
        ::unlink(name.c_str());
    }
}

}  // namespace

WCriticalSection& SocketLock() {
    static WCriticalSection lock;
    return lock;
}

WTransferSession::WTransferSession(JobHost& host_, const Settings& settings_)
    : host(host_), job(host_.Fields()), settings(settings_) {}

WTransferSession::~WTransferSession() {
    SetDataSocket(nullptr);
    SetListenSocket(nullptr);
    SetControlSocket(nullptr);
}

void WTransferSession::Stop() {
    stopRequested = true;
    job.knowledge.WakeSizeProbeWaiters();
    job.knowledge.hosts.Wake();
    WSemaphoreLock guard(&sessionLock);
    if (controlSocket) controlSocket->Close(false, kConnectionFailed);
    if (dataSocket) dataSocket->Close(false, kConnectionFailed);
    if (listenSocket) listenSocket->Close(false, kConnectionFailed);
}

// ---- helpers ----

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

std::unique_ptr<WSocket> WTransferSession::NewClientSocket() const {
    return NewConfiguredSocket<WSocket>(job.options);
}

std::unique_ptr<WServerSocket> WTransferSession::NewServerSocket() const {
    return NewConfiguredSocket<WServerSocket>(job.options);
}

void WTransferSession::SetControlSocket(std::unique_ptr<WSocket> s) {
    WSemaphoreLock guard(&sessionLock);
    if (controlSocket) controlSocket->Close(false, kConnectionFailed);
    controlSocket = std::move(s);
}

void WTransferSession::SetDataSocket(std::unique_ptr<WSocket> s) {
    WSemaphoreLock guard(&sessionLock);
    if (dataSocket) dataSocket->Close(false, kConnectionFailed);
    dataSocket = std::move(s);
}

void WTransferSession::SetListenSocket(std::unique_ptr<WServerSocket> s) {
    WSemaphoreLock guard(&sessionLock);
    if (listenSocket) listenSocket->Close(false, kConnectionFailed);
    listenSocket = std::move(s);
}

bool WTransferSession::ConnectUnlessStopped(WSocket& s) {
    {
        WSemaphoreLock guard(&sessionLock);
        if (stopRequested) return false;
    }
    // No lock while connecting, so that Stop can close the socket and end the wait.
    return s.Connect() && !stopRequested;
}

void WTransferSession::LogVerbatim(const std::string& text) {
    host.LogLine(text, threadNumber);
}

void WTransferSession::Log(const std::string& text) {
    // URLs in log lines (redirect targets, the job's URL) never show a password.
    const std::string redacted = WInternet::RedactPasswords(text);
    host.LogLine(redacted, threadNumber);
    lastLogged = redacted.substr(0, redacted.find_first_of("\r\n"));
    loggedSinceFailure = true;
}

void WTransferSession::Fail(Failure::Kind kind, const std::string& text, bool permanent) {
    Failure value;
    value.kind = kind;
    value.text = text;
    value.permanent = permanent;
    Fail(value);
}

void WTransferSession::Fail(const Failure& value) {
    failure = value;
    loggedSinceFailure = false;
    ++failureCount;
}

void WTransferSession::Report(int64_t done, int64_t total, int64_t delta) {
    host.ReportProgress(done, total, delta, threadNumber);
}

bool WTransferSession::RunAttempt() {
    failure = {};
    const bool ok = RunSteps();
    if (ok || stopRequested) {
        failure = {};
    } else if ((!failure.Known() || loggedSinceFailure) && !job.noMoreAttempts) {
        // Nothing more telling was recorded: the session's own last word is the reason.
        Fail(Failure::Kind::Other, lastLogged.empty() ? "the attempt failed" : lastLogged, false);
    }
    return ok;
}

bool WTransferSession::RunSteps() {
    Log(FormatText("ATTEMPTION #%d\r\n\r\n", attemptIndex));

    std::string urlHost, user, password, path, extra;
    uint16_t urlPort = 0;
    currentUrl = job.CurrentUrl();
    {
        WSemaphoreLock socketGuard(&SocketLock());
        WInternet internet;
        if (!internet.CrackUrl(currentUrl, scheme, urlHost, urlPort, user, password, path, extra)) {
            Log("Cannot split the URL " + currentUrl + "\r\n");
            Fail(Failure::Kind::Other, "cannot split the URL " + currentUrl, true);
            return false;
        }
    }
    // A URL carries "@", ":" and the like escaped; the server must get them as they are. The
    // settings' defaults are plain text already.
    user = WInternet::PercentDecode(user);
    password = WInternet::PercentDecode(password);
    if (user.empty()) user = settings.defuser;
    if (password.empty()) password = settings.defpass;
    // A line break in a name or password would end the command early and send the rest as a
    // command of its own ("\r\nDELE f", or "%0D%0ADELE f" once decoded). Refused before
    // anything is sent. HTTP sends them only Base64-encoded, and only with authorization on.
    const bool sendsCredentials = scheme == WInternet::kSchemeFtp || settings.useauthorization;
    if (sendsCredentials && (HasControlChar(user) || HasControlChar(password))) {
        Log("The user name or password holds a control character: refused\r\n");
        Fail(Failure::Kind::Other, "the user name or password holds a control character", true);
        return false;
    }
    if (!SchemeAllowed(scheme, currentUrl)) return false;
    // An FTP server takes a path as it is: "%20" in the URL is a blank in the file's name. A
    // decoded line break would end the command, so such a path is refused.
    if (scheme == WInternet::kSchemeFtp) {
        path = WInternet::PercentDecode(path);
        if (HasControlChar(path)) {
            Log("The path holds a control character: refused\r\n");
            Fail(Failure::Kind::Other, "the path holds a control character", true);
            return false;
        }
    }
    if (!ConnectControlSocket(urlHost, urlPort)) return false;

    if (scheme == WInternet::kSchemeFtp) return FtpDownload(user, password, urlHost, urlPort, path);
    return HttpDownload(user, password, urlHost, urlPort, path, extra);
}

int WTransferSession::SendCommand(const std::string& text) {
    LogVerbatim(text);
    const int failuresBefore = failureCount;
    int code = kConnectionFailed;
    if (controlSocket) {
        const int sent = controlSocket->Send(text);
        if (sent >= 0 && static_cast<size_t>(sent) == text.size()) {
            code = scheme == WInternet::kSchemeFtp ? ReadFtpReply() : ReadHttpHeader();
        }
    }
    if (code == kConnectionFailed && failureCount == failuresBefore && !stopRequested) {
        // Named by its verb only: the rest may be a password.
        const std::string verb = text.substr(0, text.find_first_of(" \r\n"));
        Fail(Failure::Kind::Network, "the connection closed before the server answered " + verb,
             false);
    }
    return code;
}

bool WTransferSession::ComputeSegment(bool sizeFromSizeReply) {
    int64_t fileSize = job.knowledge.Size();
    if (fileSize == -1) {
        int64_t parsed = scheme == WInternet::kSchemeFtp
                             ? ParseFtpSizeReply(lastReply, sizeFromSizeReply)
                             : HttpContentLength(lastReply);
        if (parsed < 0) {
            // Never stored: a later attempt asks again.
            Log("No file size in the reply\r\n");
            return false;
        }
        // The first worker's value serves the whole job.
        fileSize = job.knowledge.LearnSize(parsed);
    }
    if (fileSize < 1) {
        // Nothing to split or fetch; said plainly, or "Job failed" would come without a reason.
        Log("The remote file is empty (0 bytes): nothing to download\r\n");
        return false;
    }

    targetComplete = job.options.keepCompleteTarget && job.TargetComplete(fileSize);
    if (job.options.keepCompleteTarget && job.TargetTooLong()) {
        job.noMoreAttempts = true;
        const std::string why = FormatText(
            "%s is longer than the remote file (%lld bytes): kept as it is, nothing "
            "fetched",
            job.targetPath.c_str(), AsLong(fileSize));
        Log(why + "\r\n");
        Fail(Failure::Kind::LocalFile, why, true);
        return false;
    }
    if (targetComplete) {
        if (threadNumber == 0) {
            Log(FormatText("%s already holds all %lld bytes: nothing to fetch\r\n",
                           job.targetPath.c_str(), AsLong(fileSize)));
        }
        return true;
    }
    const std::string roomProblem = job.RoomProblem(fileSize);
    if (!roomProblem.empty()) {
        job.noMoreAttempts = true;
        Log(roomProblem + "\r\n");
        Fail(Failure::Kind::LocalFile, roomProblem, true);
        return false;
    }
    int threadCount = std::max(job.threadCount, 1);
    int64_t length = fileSize / threadCount;
    segmentStart = RangeId() * length;
    if (RangeId() == threadCount - 1) length = fileSize - segmentStart;
    job.knowledge.ranges.Plan(job.targetPath, threadCount, fileSize, job.workers);
    const RangeInfo range = job.knowledge.ranges.Get(RangeId());
    // The range's end may have moved (a part of it was taken), and a taken range is not
    // this thread's own segment.
    if (range.id >= 0) {
        segmentStart = range.start;
        length = range.end - range.start;
    }

    const int64_t ownStart = segmentStart;
    alreadyDone = 0;
    remaining = length;
    seamBytes = 0;
    seamIsLead = false;
    lead = {};
    partVouched = false;
    int rangeSupport = job.knowledge.RangeSupport();
    const int64_t leadLength = RangeId() >= threadCount
                                   ? std::min(kLeadBytes, segmentStart)
                                   : LeadLength(fileSize, threadCount, RangeId());
    struct stat status;
    // Never through a link: the part is this job's own file or nothing.
    if (::lstat(partFileName.c_str(), &status) != 0) {
        StartFromSegmentStart(leadLength, rangeSupport);
        return true;
    }
    if (!S_ISREG(status.st_mode)) {
        Log(FormatText("%s is not a regular file: not writing to it\r\n", partFileName.c_str()));
        Fail(Failure::Kind::LocalFile, partFileName + " is not a regular file", true);
        return false;
    }
    int64_t partSize = status.st_size;
    PartRecord recorded;
    if (partSize > 0 && ReadPartRecord(partFileName, recorded)) {
        const PartRecord now{fileSize, threadCount, ownStart, job.knowledge.Validator(), {}};
        const std::string why = PartRecordMismatch(recorded, now);
        if (!why.empty()) {
            if (!EmptyPart(why)) return false;
            partSize = 0;
        } else {
            lead = recorded.lead;
            // A segment with a lead is vouched for only with it: the join then checks its
            // start against the part before it, so equal validators over changed bytes show.
            partVouched = !now.validator.empty() && (leadLength == 0 || lead.Known());
        }
    }
    if (partSize > length && rangeSupport != 0) {
        // Leftovers of another split: what lies beyond the segment belongs to the next part,
        // and appending after it would corrupt the joined file.
        if (RangeId() == 0) {
            Log(
                FormatText("Part file %s holds %lld bytes, more than its segment of %lld: "
                           "cut to the segment\r\n",
                           partFileName.c_str(), AsLong(partSize), AsLong(length)));
            if (!CutFile(partFileName, length)) {
                const std::string why =
                    FormatText("Cannot cut %s: %s", partFileName.c_str(), std::strerror(errno));
                Log(why + "\r\n");
                Fail(Failure::Kind::LocalFile, why, true);
                return false;
            }
            partSize = length;
        } else {
            Log(
                FormatText("Part file %s holds %lld bytes, more than its segment of %lld: "
                           "deleted, fetching the segment again\r\n",
                           partFileName.c_str(), AsLong(partSize), AsLong(length)));
            if (::unlink(partFileName.c_str()) != 0) {
                const std::string why =
                    FormatText("Cannot delete %s: %s", partFileName.c_str(), std::strerror(errno));
                Log(why + "\r\n");
                Fail(Failure::Kind::LocalFile, why, true);
                return false;
            }
            partSize = 0;
        }
    }
    if (partSize == 0) {
        StartFromSegmentStart(leadLength, rangeSupport);
        return true;
    }
    // Fetched earlier in this job where the file system keeps no record.
    if (!lead.Known()) lead = job.knowledge.leads.Get(RangeId());
    job.knowledge.leads.Set(RangeId(), lead);
    segmentStart += partSize;
    alreadyDone = partSize;
    remaining = length - partSize;
    if (remaining < 0) remaining = rangeSupport != 0 ? 0 : fileSize;
    // Bytes kept from before are checked against the server's at the seam, unless a record
    // vouches for a part that needs nothing more.
    if (partSize > 0 && rangeSupport != 0 && !(partVouched && remaining == 0)) {
        seamBytes = std::min(partSize, kSeamBytes);
    }
    return true;
}

void WTransferSession::StartFromSegmentStart(int64_t leadLength, int rangeSupport) {
    // Nothing of this segment is in hand: the lead it learns now replaces any from before.
    job.knowledge.leads.Forget(RangeId());
    if (leadLength > 0 && remaining > 0 && rangeSupport != 0) {
        seamBytes = leadLength;
        seamIsLead = true;
    }
}

bool WTransferSession::EmptyPart(const std::string& why) {
    Log(FormatText("Part file %s is stale: %s; fetching its segment again\r\n",
                   partFileName.c_str(), why.c_str()));
    if (!CutFile(partFileName, 0)) {
        const std::string cannot =
            FormatText("Cannot empty %s: %s", partFileName.c_str(), std::strerror(errno));
        Log(cannot + "\r\n");
        Fail(Failure::Kind::LocalFile, cannot, true);
        return false;
    }
    ClearPartRecord(partFileName);
    job.knowledge.leads.Forget(RangeId());
    return true;
}

bool WTransferSession::CheckSeam(WSocket* source) {
    const size_t want = static_cast<size_t>(seamBytes);
    std::string expected;
    if (!seamIsLead && !ReadFileBytes(partFileName, alreadyDone - seamBytes, want, expected)) {
        Log(FormatText("Cannot read the end of %s\r\n", partFileName.c_str()));
        return false;
    }
    // Leftover first; the bytes after the seam stay in it for the data loop.
    std::string got = leftover.substr(0, want);
    leftover.erase(0, got.size());
    char buffer[4096];
    while (got.size() < want && source != nullptr && !stopRequested) {
        int n = source->Receive(buffer, static_cast<int>(sizeof buffer),
                                static_cast<int>(want - got.size()));
        if (n <= 0) break;
        // A chunked body decodes to no more bytes than were read: never past the seam.
        if (chunkDecoder) {
            n = static_cast<int>(chunkDecoder->Decode(buffer, static_cast<size_t>(n)));
            if (chunkDecoder->GetState() == HttpChunkDecoder::State::Bad) {
                Log("Bad chunked body: " + chunkDecoder->Error() + "\r\n");
                return false;
            }
            if (n == 0 && chunkDecoder->GetState() == HttpChunkDecoder::State::Done) break;
        }
        got.append(buffer, static_cast<size_t>(n));
    }
    if (got.size() < want && !stopRequested) {
        Fail(Failure::Kind::Network,
             FormatText("the connection ended after %zu of the %zu bytes before the segment",
                        got.size(), want),
             false);
    }
    if (got.size() < want || stopRequested) return false;
    if (seamIsLead) {
        lead = SegmentLead{seamBytes, WindowDigest(got.data(), got.size())};
        job.knowledge.leads.Set(RangeId(), lead);
        return true;
    }
    if (got == expected) return true;
    const int64_t at = segmentStart - seamBytes;
    // Which side is wrong, before anything is thrown away: a server that answers a later
    // offset with the file's first bytes ignores offsets, and the part is right.
    std::string head;
    if (at > 0 && ReadFileBytes(job.targetPath, 0, want, head) && head == got) {
        Log(
            FormatText("The server sent the file's first bytes when asked for byte %lld: it "
                       "ignores offsets; %s is kept\r\n",
                       AsLong(at), partFileName.c_str()));
        job.RequestWholeFile();
        return false;
    }
    if (EmptyPart(FormatText("its last %lld bytes differ from the remote file's at byte %lld",
                             AsLong(seamBytes), AsLong(at)))) {
        // Its bytes no longer count: the job's total goes back by what was announced.
        if (progressAnnounced) Report(0, ReportTotal(), -alreadyDone);
        partFoundStale = true;
    }
    return false;
}

bool WTransferSession::ReceiveSegment(bool withLeftover) {
    // Reports go out per chunk of the receive buffer; a read may carry many of them.
    const int64_t chunk = UsableBufferSize(settings.bufsize);
    WSocket* source = scheme == WInternet::kSchemeFtp ? dataSocket.get() : controlSocket.get();

    if (seamBytes > 0 && !CheckSeam(source)) {
        WSemaphoreLock guard(&sessionLock);
        if (source != nullptr) source->Close(false, kConnectionFailed);
        return false;
    }
    if (remaining == job.knowledge.Size() || bodyToEnd) {
        // What the part held no longer counts, nor its record (as if it had been deleted).
        EmptyPartFile(partFileName);
        ClearPartRecord(partFileName);
    }
    int64_t noTick = 0;
    job.startTick.compare_exchange_strong(noTick, TickCount());

    PartFileWriter part;
    const bool opened = part.Open(partFileName);
    // A body without a size has no room to reserve nor a record to resume by.
    if (!bodyToEnd) part.Reserve(remaining);
    if (!opened) {
        const std::string why =
            FormatText("Cannot open %s: %s", partFileName.c_str(), std::strerror(part.Error()));
        Log(why + "\r\n");
        Fail(Failure::Kind::LocalFile, why, true);
    } else if (!bodyToEnd) {
        const int64_t ownStart = segmentStart - alreadyDone;
        PartRecord record{
            job.knowledge.Size(), job.threadCount, ownStart, job.knowledge.Validator(), {}};
        record.lead = lead;
        if (!WritePartRecord(part.Descriptor(), record) && attemptIndex == 0) {
            Log(
                FormatText("No extended attributes for %s (%s): a resume is checked at the "
                           "seam only\r\n",
                           partFileName.c_str(), std::strerror(errno)));
        }
    }
    bool writeFailed = !opened;
    bool peerClosed = false;

    // Bytes received and reported; they reach the file through the writer's buffer.
    int64_t received = 0;
    bool framingBad = false;
    if (!writeFailed && withLeftover) {
        // Body bytes past the segment are never written.
        size_t take = static_cast<size_t>(
            std::min<int64_t>(static_cast<int64_t>(leftover.size()), remaining));
        if (part.Append(leftover.data(), take)) {
            received = static_cast<int64_t>(take);
            host.ReportChunks(received + alreadyDone, ReportTotal(), received, chunk, threadNumber);
        } else {
            writeFailed = true;
        }
        leftover.clear();
    }
    // A plain connection without chunk framing goes from the socket to the file through a
    // pipe: the bytes are never copied through user space.
    const bool splicing = !writeFailed && source != nullptr && !chunkDecoder &&
                          !source->CarriesTls() && part.CanSplice();
    int64_t readLimit = host.ReadLimit() > 0 ? host.ReadLimit() : INT_MAX;
    // A range that another thread may cut: what is read is claimed in small steps, so the
    // cut can come anywhere past them, and a read blocked at the cut is woken.
    const bool movable = job.options.resplit && job.knowledge.RangeSupport() == 1 &&
                         job.wholeFile.load() == JobFields::WholeFile::No &&
                         job.knowledge.ranges.Planned();
    if (movable) {
        readLimit = std::min<int64_t>(readLimit, job.options.resplitRules.claimBytes);
        // A new connection gets a stall window and a rate of its own.
        job.knowledge.ranges.BeginConnection(RangeId(), segmentStart, TickCount());
        job.knowledge.ranges.SetWake(RangeId(), [this, source] {
            WSemaphoreLock guard(&sessionLock);
            source->Close(false, kConnectionFailed);
        });
    }
    while (!writeFailed && !framingBad && received < remaining && source != nullptr) {
        if (movable) {
            int64_t end = 0;
            const int64_t pos = segmentStart + received;
            readLimit = job.knowledge.ranges.Allow(
                RangeId(), pos, std::min(remaining - received, job.options.resplitRules.claimBytes),
                &end);
            remaining = end - segmentStart;
            if (readLimit == 0) break;
        }
        // One system call moves many chunks, and never a byte past the segment.
        int want = 0;
        int got = 0;
        char* into = nullptr;
        if (splicing) {
            want = static_cast<int>(std::min(remaining - received, readLimit));
            got = part.ReceiveFrom(*source, static_cast<size_t>(want));
        } else {
            // Straight into the writer's buffer, as much as fits before its next block
            // boundary. A chunked body carries framing besides the data: it is read as far as
            // the room goes and decoded in place, and only the data is kept.
            size_t room = 0;
            into = part.Room(room);
            const int64_t wanted =
                chunkDecoder ? static_cast<int64_t>(room)
                             : std::min<int64_t>(static_cast<int64_t>(room), remaining - received);
            want = static_cast<int>(std::min(wanted, readLimit));
            got = source->Receive(into, want, want);
        }
        if (got <= 0) {
            peerClosed = got == 0;
            // Said plainly: the attempt's last line would otherwise be the request.
            if (!stopRequested && source->GetLastError() == ETIMEDOUT) {
                Log("No data within the stall limit: timed out\r\n");
                Fail(Failure::Kind::Network, "no data within the stall limit: timed out", false);
            } else if (!stopRequested && !bodyToEnd) {
                Fail(Failure::Kind::Network,
                     FormatText("the connection ended after %lld of %lld bytes",
                                AsLong(alreadyDone + received), AsLong(alreadyDone + remaining)),
                     false);
            }
            break;
        }
        int n = got;
        if (chunkDecoder) {
            n = static_cast<int>(chunkDecoder->Decode(into, static_cast<size_t>(got)));
            if (chunkDecoder->GetState() == HttpChunkDecoder::State::Bad) {
                framingBad = true;
                break;
            }
            n = static_cast<int>(std::min<int64_t>(n, remaining - received));
            if (n == 0) {
                if (chunkDecoder->GetState() == HttpChunkDecoder::State::Done) break;
                continue;
            }
        }
        // A short read means the connection had nothing more ready: the bytes go to the file
        // now, so a slow or stalled server never leaves them waiting in memory.
        if (splicing ? part.Error() != 0
                     : !part.Commit(static_cast<size_t>(n)) || (got < want && !part.Flush())) {
            writeFailed = true;
            break;
        }
        received += n;
        if (movable) job.knowledge.ranges.Advance(RangeId(), segmentStart + received, TickCount());
        host.ReportChunks(received + alreadyDone, ReportTotal(), n, chunk, threadNumber);
        if (stopRequested || job.RangesAbandoned(threadNumber)) break;
    }
    if (movable) {
        // Cleared before the socket goes; the end may have come to meet what is in hand.
        job.knowledge.ranges.SetWake(RangeId(), nullptr);
        const int64_t cutRemaining = job.knowledge.ranges.Get(RangeId()).end - segmentStart;
        if (cutRemaining < remaining) {
            remaining = cutRemaining;
            Report(received + alreadyDone, remaining + alreadyDone, 0);
        }
    }
    if (opened) {
        if (!part.Close()) writeFailed = true;
        if (writeFailed) {
            const std::string why = FormatText("Cannot write to %s: %s", partFileName.c_str(),
                                               std::strerror(part.Error()));
            Log(why + "\r\n");
            Fail(Failure::Kind::LocalFile, why, true);
        }
        // Reported bytes that never reached the file are taken back, so the job's count
        // stays what the part files hold when a retry fetches them again.
        const int64_t unwritten = received - part.Written();
        if (unwritten != 0) {
            received = part.Written();
            Report(received + alreadyDone, ReportTotal(), -unwritten);
        }
    }
    if (framingBad) Log("Bad chunked body: " + chunkDecoder->Error() + "\r\n");
    {
        WSemaphoreLock guard(&sessionLock);
        if (source != nullptr) source->Close(false, kConnectionFailed);
    }
    if (bodyToEnd) {
        // The body ends with its framing, or else with the server's orderly close.
        const bool ended =
            chunkDecoder ? chunkDecoder->GetState() == HttpChunkDecoder::State::Done : peerClosed;
        if (writeFailed || framingBad || stopRequested || !ended) {
            // The next attempt fetches the body from its start: these bytes count no more.
            Report(0, -1, -received);
            return false;
        }
        remaining = received;
        Report(received, received, 0);
        return true;
    }
    return !writeFailed && !framingBad && received == remaining && !stopRequested;
}

int64_t WTransferSession::ReportTotal() const {
    return bodyToEnd ? -1 : remaining + alreadyDone;
}
