#include "engine/SegmentSetup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/JobHost.h"
#include "engine/LastPieceRace.h"
#include "engine/PartRecord.h"
#include "engine/TextFormat.h"

namespace {

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

}  // namespace

bool ComputeSegment(AttemptState& state, int64_t replySize) {
    JobFields& job = state.job;
    const std::string& partFileName = state.partFileName;
    const int rangeId = state.RangeId();
    if (state.race != nullptr) {
        // A race asks for the piece and a lead window before it, into memory.
        state.segment = RangeSegment(state.race->requestStart, state.race->race.end);
        return true;
    }
    int64_t fileSize = job.knowledge.Size();
    if (fileSize == -1) {
        const int64_t parsed = replySize;
        if (parsed < 0) {
            // Never stored: a later attempt asks again.
            state.Log("No file size in the reply\r\n");
            return false;
        }
        // The first worker's value serves the whole job.
        fileSize = job.knowledge.LearnSize(parsed);
    }
    if (fileSize < 1) {
        // Nothing to split or fetch; said plainly, or "Job failed" would come without a reason.
        state.Log("The remote file is empty (0 bytes): nothing to download\r\n");
        return false;
    }

    state.targetComplete = job.options.keepCompleteTarget && job.TargetComplete(fileSize);
    if (job.options.keepCompleteTarget && job.TargetTooLong()) {
        job.noMoreAttempts = true;
        const std::string why = FormatText(
            "%s is longer than the remote file (%lld bytes): kept as it is, nothing "
            "fetched",
            job.targetPath.c_str(), AsLong(fileSize));
        state.Log(why + "\r\n");
        state.Fail(Failure::Kind::LocalFile, why, true);
        return false;
    }
    if (state.targetComplete) {
        if (state.threadNumber == 0) {
            state.Log(FormatText("%s already holds all %lld bytes: nothing to fetch\r\n",
                                 job.targetPath.c_str(), AsLong(fileSize)));
        }
        return true;
    }
    const std::string roomProblem = job.RoomProblem(fileSize);
    if (!roomProblem.empty()) {
        job.noMoreAttempts = true;
        state.Log(roomProblem + "\r\n");
        state.Fail(Failure::Kind::LocalFile, roomProblem, true);
        return false;
    }
    const int threadCount = std::max(job.threadCount, 1);
    job.knowledge.ranges.Plan(job.targetPath, threadCount, fileSize, job.workers);
    // The range's end may have moved (a part of it was taken), and a taken range is not
    // this thread's own segment.
    const RangeInfo info = job.knowledge.ranges.Get(rangeId);
    const Segment range = info.id >= 0 ? RangeSegment(info.start, info.end)
                                       : FirstSegment(fileSize, threadCount, rangeId);
    const int rangeSupport = job.knowledge.RangeSupport();
    const int64_t leadLength = rangeId >= threadCount ? std::min(kLeadBytes, range.ownStart)
                                                      : LeadLength(fileSize, threadCount, rangeId);
    SegmentLead kept;
    bool vouched = false;
    int64_t partSize = 0;
    struct stat status;
    // Never through a link: the part is this job's own file or nothing.
    if (::lstat(partFileName.c_str(), &status) == 0) {
        if (!S_ISREG(status.st_mode)) {
            state.Log(FormatText("%s is not a regular file: not writing to it\r\n",
                                 partFileName.c_str()));
            state.Fail(Failure::Kind::LocalFile, partFileName + " is not a regular file", true);
            return false;
        }
        partSize = status.st_size;
    }
    PartRecord recorded;
    if (partSize > 0 && ReadPartRecord(partFileName, recorded)) {
        const PartRecord now{fileSize, threadCount, range.ownStart, job.knowledge.Validator(), {}};
        const std::string why = PartRecordMismatch(recorded, now);
        if (!why.empty()) {
            if (!EmptyPart(state, why)) return false;
            partSize = 0;
        } else {
            kept = recorded.lead;
            // A segment with a lead is vouched for only with it: the join then checks its
            // start against the part before it, so equal validators over changed bytes show.
            vouched = !now.validator.empty() && (leadLength == 0 || kept.Known());
        }
    }
    const int64_t length = range.Length();
    switch (ExcessOf(range, partSize, rangeId == 0, rangeSupport)) {
        case PartExcess::None:
            break;
        case PartExcess::CutToRange:
            // Leftovers of another split: what lies beyond the segment belongs to the next
            // part, and appending after it would corrupt the joined file.
            state.Log(
                FormatText("Part file %s holds %lld bytes, more than its segment of %lld: "
                           "cut to the segment\r\n",
                           partFileName.c_str(), AsLong(partSize), AsLong(length)));
            if (!CutFile(partFileName, length)) {
                const std::string why =
                    FormatText("Cannot cut %s: %s", partFileName.c_str(), std::strerror(errno));
                state.Log(why + "\r\n");
                state.Fail(Failure::Kind::LocalFile, why, true);
                return false;
            }
            partSize = length;
            break;
        case PartExcess::FetchAgain:
            state.Log(
                FormatText("Part file %s holds %lld bytes, more than its segment of %lld: "
                           "deleted, fetching the segment again\r\n",
                           partFileName.c_str(), AsLong(partSize), AsLong(length)));
            if (::unlink(partFileName.c_str()) != 0) {
                const std::string why =
                    FormatText("Cannot delete %s: %s", partFileName.c_str(), std::strerror(errno));
                state.Log(why + "\r\n");
                state.Fail(Failure::Kind::LocalFile, why, true);
                return false;
            }
            partSize = 0;
            break;
    }
    state.segment = PlanFetch(range, fileSize, partSize, vouched, rangeSupport, leadLength);
    if (partSize == 0) {
        // Nothing of this segment is in hand: the lead it learns now replaces any from before.
        job.knowledge.leads.Forget(rangeId);
        state.lead = {};
        return true;
    }
    // Fetched earlier in this job where the file system keeps no record.
    if (!kept.Known()) kept = job.knowledge.leads.Get(rangeId);
    job.knowledge.leads.Set(rangeId, kept);
    state.lead = kept;
    return true;
}

bool EmptyPart(AttemptState& state, const std::string& why) {
    const std::string& partFileName = state.partFileName;
    state.Log(FormatText("Part file %s is stale: %s; fetching its segment again\r\n",
                         partFileName.c_str(), why.c_str()));
    if (!CutFile(partFileName, 0)) {
        const std::string cannot =
            FormatText("Cannot empty %s: %s", partFileName.c_str(), std::strerror(errno));
        state.Log(cannot + "\r\n");
        state.Fail(Failure::Kind::LocalFile, cannot, true);
        return false;
    }
    ClearPartRecord(partFileName);
    state.job.knowledge.leads.Forget(state.RangeId());
    return true;
}

// Emptied in place rather than deleted, so that the job's lock on the target stays on the file
// we write; a symlink in its place is only removed, never written through.
void EmptyPartFile(const std::string& name) {
    const int fd = ::open(name.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
    } else if (errno == ELOOP) {
        ::unlink(name.c_str());
    }
}
