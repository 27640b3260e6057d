#include "engine/DataPipeline.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "engine/HttpChunked.h"
#include "engine/JobHost.h"
#include "engine/LastPieceRace.h"
#include "engine/PartFileWriter.h"
#include "engine/PartRecord.h"
#include "engine/SegmentSetup.h"
#include "engine/TextFormat.h"
#include "net/TickCount.h"
#include "net/WLocks.h"
#include "net/WSocket.h"

namespace {

constexpr int kDefaultBufferSize = 4096;
constexpr int kMaxBufferSize = 16 * 1024 * 1024;

// The receive buffer size a "bufsize" value stands for: the file may hold anything.
int UsableBufferSize(int bufsize) {
    if (bufsize < 1) return kDefaultBufferSize;
    return std::min(bufsize, kMaxBufferSize);
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

// Reads the seam's bytes (leftover first). A lead window is kept (its digest) for the join; a
// resume seam is compared with the part's tail. False when they did not all come (the attempt
// fails), when the server sent the file's first bytes for a later offset (the job turns to one
// whole-file connection, the part kept) or when they differ otherwise (the part is emptied as
// stale).
bool CheckSeam(AttemptState& state, BodySource& body) {
    Segment& segment = state.segment;
    JobFields& job = state.job;
    const std::string& partFileName = state.partFileName;
    const int64_t seamBytes = segment.seamBytes;
    const size_t want = static_cast<size_t>(seamBytes);
    WSocket* source = body.socket;
    std::string& leftover = body.leftover;
    HttpChunkDecoder* chunkDecoder = body.chunks;
    const std::atomic<bool>& stopRequested = state.stopRequested;
    std::string expected;
    if (!segment.seamIsLead &&
        !ReadFileBytes(partFileName, segment.done - seamBytes, want, expected)) {
        state.Log(FormatText("Cannot read the end of %s\r\n", partFileName.c_str()));
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
                state.Log("Bad chunked body: " + chunkDecoder->Error() + "\r\n");
                return false;
            }
            if (n == 0 && chunkDecoder->GetState() == HttpChunkDecoder::State::Done) break;
        }
        got.append(buffer, static_cast<size_t>(n));
    }
    if (got.size() < want && !stopRequested) {
        state.Fail(Failure::Kind::Network,
                   FormatText("the connection ended after %zu of the %zu bytes before the segment",
                              got.size(), want),
                   false);
    }
    if (got.size() < want || stopRequested) return false;
    if (segment.seamIsLead) {
        state.lead = SegmentLead{seamBytes, WindowDigest(got.data(), got.size())};
        job.knowledge.leads.Set(state.RangeId(), state.lead);
        return true;
    }
    if (got == expected) return true;
    const int64_t at = segment.RequestStart();
    // Which side is wrong, before anything is thrown away: a server that answers a later
    // offset with the file's first bytes ignores offsets, and the part is right.
    std::string head;
    if (at > 0 && ReadFileBytes(job.targetPath, 0, want, head) && head == got) {
        state.Log(
            FormatText("The server sent the file's first bytes when asked for byte %lld: it "
                       "ignores offsets; %s is kept\r\n",
                       AsLong(at), partFileName.c_str()));
        job.RequestWholeFile();
        return false;
    }
    if (EmptyPart(state,
                  FormatText("its last %lld bytes differ from the remote file's at byte %lld",
                             AsLong(seamBytes), AsLong(at)))) {
        // Its bytes no longer count: the job's total goes back by what was announced.
        if (state.progressAnnounced) state.Report(0, state.ReportTotal(), -segment.done);
        state.partFoundStale = true;
    }
    return false;
}

}  // namespace

void CloseSource(BodySource& body) {
    if (body.socket == nullptr) return;
    WSemaphoreLock guard(body.lock);
    body.socket->Close(false, kConnectionFailed);
}

bool ReceiveSegment(AttemptState& state, BodySource& body) {
    if (state.race != nullptr) return ReceiveRace(state, body);
    JobFields& job = state.job;
    JobHost& host = state.host;
    const std::string& partFileName = state.partFileName;
    const std::atomic<bool>& stopRequested = state.stopRequested;
    const int threadNumber = state.threadNumber;
    const int rangeId = state.RangeId();
    Segment& segment = state.segment;
    const bool bodyToEnd = state.bodyToEnd;
    HttpChunkDecoder* chunkDecoder = body.chunks;
    std::string& leftover = body.leftover;
    WSocket* source = body.socket;
    // Reports go out per chunk of the receive buffer; a read may carry many of them.
    const int64_t chunk = UsableBufferSize(state.settings.bufsize);

    if (segment.seamBytes > 0 && !CheckSeam(state, body)) {
        CloseSource(body);
        return false;
    }
    // Fixed for the loop; the end may move down (a cut) while it runs.
    const int64_t segmentStart = segment.Start();
    const int64_t alreadyDone = segment.done;
    int64_t remaining = segment.Remaining();
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
        state.Log(why + "\r\n");
        state.Fail(Failure::Kind::LocalFile, why, true);
    } else if (!bodyToEnd) {
        PartRecord record{
            job.knowledge.Size(), job.threadCount, segment.ownStart, job.knowledge.Validator(), {}};
        record.lead = state.lead;
        if (!WritePartRecord(part.Descriptor(), record) && state.attemptIndex == 0) {
            state.Log(
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
    if (!writeFailed && !leftover.empty()) {
        // Body bytes past the segment are never written.
        size_t take = static_cast<size_t>(
            std::min<int64_t>(static_cast<int64_t>(leftover.size()), remaining));
        if (part.Append(leftover.data(), take)) {
            received = static_cast<int64_t>(take);
            host.ReportChunks(received + alreadyDone, state.ReportTotal(), received, chunk,
                              threadNumber);
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
        job.knowledge.ranges.BeginConnection(rangeId, segmentStart, TickCount());
        job.knowledge.ranges.SetWake(rangeId, [&body] { CloseSource(body); });
    }
    while (!writeFailed && !framingBad && received < remaining && source != nullptr) {
        if (movable) {
            int64_t end = 0;
            const int64_t pos = segmentStart + received;
            readLimit = job.knowledge.ranges.Allow(
                rangeId, pos, std::min(remaining - received, job.options.resplitRules.claimBytes),
                &end);
            remaining = end - segmentStart;
            segment.end = end;
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
                state.Log("No data within the stall limit: timed out\r\n");
                state.Fail(Failure::Kind::Network, "no data within the stall limit: timed out",
                           false);
            } else if (!stopRequested && !bodyToEnd) {
                state.Fail(
                    Failure::Kind::Network,
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
        if (movable) job.knowledge.ranges.Advance(rangeId, segmentStart + received, TickCount());
        host.ReportChunks(received + alreadyDone, state.ReportTotal(), n, chunk, threadNumber);
        if (stopRequested || job.RangesAbandoned(threadNumber)) break;
    }
    if (movable) {
        // Cleared before the socket goes; the end may have come to meet what is in hand.
        job.knowledge.ranges.SetWake(rangeId, nullptr);
        const int64_t cutRemaining = job.knowledge.ranges.Get(rangeId).end - segmentStart;
        if (cutRemaining < remaining) {
            remaining = cutRemaining;
            segment.end = segmentStart + remaining;
            state.Report(received + alreadyDone, remaining + alreadyDone, 0);
        }
    }
    if (opened) {
        if (!part.Close()) writeFailed = true;
        if (writeFailed) {
            const std::string why = FormatText("Cannot write to %s: %s", partFileName.c_str(),
                                               std::strerror(part.Error()));
            state.Log(why + "\r\n");
            state.Fail(Failure::Kind::LocalFile, why, true);
        }
        // Reported bytes that never reached the file are taken back, so the job's count
        // stays what the part files hold when a retry fetches them again.
        const int64_t unwritten = received - part.Written();
        if (unwritten != 0) {
            received = part.Written();
            state.Report(received + alreadyDone, state.ReportTotal(), -unwritten);
        }
    }
    if (framingBad) state.Log("Bad chunked body: " + chunkDecoder->Error() + "\r\n");
    CloseSource(body);
    if (bodyToEnd) {
        // The body ends with its framing, or else with the server's orderly close.
        const bool ended =
            chunkDecoder ? chunkDecoder->GetState() == HttpChunkDecoder::State::Done : peerClosed;
        if (writeFailed || framingBad || stopRequested || !ended) {
            // The next attempt fetches the body from its start: these bytes count no more.
            state.Report(0, -1, -received);
            return false;
        }
        segment.end = received;
        state.Report(received, received, 0);
        return true;
    }
    return !writeFailed && !framingBad && received == remaining && !stopRequested;
}
