#include "job/PartJoiner.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "engine/JobHost.h"  // PartFileName
#include "net/WriteAll.h"

namespace {

constexpr size_t kJoinBufferSize = 10240;
// Bytes per kernel copy call: large, so a part takes a few calls.
constexpr size_t kCopyStep = size_t{1} << 30;

// Copies through the buffer from the part's current position to its end. "" when it all
// went in.
std::string CopyThroughBuffer(int partFd, const std::string& partPath, int targetFd,
                              const std::string& targetPath, std::vector<char>& buffer) {
    for (;;) {
        const ssize_t n = ::read(partFd, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return DescribeFileError("cannot read part file", partPath, errno);
        }
        if (n == 0) return "";
        int error = 0;
        WriteAll(targetFd, buffer.data(), static_cast<size_t>(n), error);
        if (error != 0) return DescribeFileError("cannot write target file", targetPath, error);
    }
}

// Shares the part's blocks with the target instead of copying them, where the file system
// can (the target's end on a block boundary, same file system). True when the whole part is
// in and the target's position is at its new end.
bool CloneOntoEnd(int partFd, int targetFd) {
    const off_t end = ::lseek(targetFd, 0, SEEK_CUR);
    if (end < 0) return false;
    file_clone_range range{};
    range.src_fd = partFd;
    range.src_offset = 0;
    range.src_length = 0;  // to the part's end
    range.dest_offset = static_cast<__u64>(end);
    if (::ioctl(targetFd, FICLONERANGE, &range) != 0) return false;
    return ::lseek(targetFd, 0, SEEK_END) >= 0;
}

// Appends the whole of one part at the target's position (its end): a clone where the file
// system shares blocks, else the kernel copy, so the bytes never pass through this process;
// when both refuse, or the copy fails in a way only the read or the write can name, the buffer
// copy goes on from where it stopped and reports any failure as before. "" when it went in
// completely.
std::string AppendPart(const std::string& partPath, int targetFd, const std::string& targetPath,
                       std::vector<char>& buffer) {
    const int partFd = ::open(partPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (partFd < 0) return DescribeFileError("cannot open part file", partPath, errno);
    bool inKernel = !CloneOntoEnd(partFd, targetFd);
    bool copied = !inKernel;
    while (inKernel) {
        const ssize_t n = ::copy_file_range(partFd, nullptr, targetFd, nullptr, kCopyStep, 0);
        if (n > 0) continue;
        if (n < 0 && errno == EINTR) continue;
        // 0: the part is in. Otherwise EXDEV, EINVAL, ENOSYS, EOPNOTSUPP (no kernel copy
        // between these files) or a real failure, which the buffer copy meets again.
        if (n == 0) copied = true;
        inKernel = false;
    }
    std::string error;
    if (!copied) error = CopyThroughBuffer(partFd, partPath, targetFd, targetPath, buffer);
    ::close(partFd);
    return error;
}

}  // namespace

PartJoiner::~PartJoiner() {
    if (targetFd >= 0) ::close(targetFd);
}

void PartJoiner::Reset(const std::string& targetPath, int threadCount, JobFields* fields) {
    std::lock_guard<std::mutex> guard(lock);
    job = fields;
    seamReason.clear();
    if (targetFd >= 0) ::close(targetFd);
    target = targetPath;
    count = threadCount;
    done.assign(threadCount > 0 ? threadCount : 0, false);
    next = 1;
    ranges = false;
    abandoned = false;
    error.clear();
    targetFd = -1;
    sizeBefore = -1;
}

void PartJoiner::PartDone(int rangeId, bool withRanges) {
    std::unique_lock<std::mutex> guard(lock);
    if (rangeId < 0 || (rangeId >= count && !Planned())) return;
    if (static_cast<size_t>(rangeId) >= done.size()) done.resize(rangeId + 1, false);
    done[rangeId] = true;
    ranges = ranges || withRanges;
    // Whoever appends now takes this part too when it is next.
    if (!appending) AppendDue(guard);
}

void PartJoiner::Abandon() {
    std::lock_guard<std::mutex> guard(lock);
    abandoned = true;
}

void PartJoiner::AppendDue(std::unique_lock<std::mutex>& guard) {
    if (!ranges || count < 2 || !done[0]) return;
    appending = true;
    while (!abandoned && error.empty()) {
        // Taken ranges come between the others: the order is read again each time.
        const std::vector<RangeInfo> order = Order();
        if (static_cast<size_t>(next) >= order.size()) break;
        const RangeInfo range = order[static_cast<size_t>(next)];
        if (static_cast<size_t>(range.id) >= done.size() || !done[range.id]) break;
        const std::string name = range.partName;
        guard.unlock();
        // Only this thread touches the target and the buffer while appending is set.
        std::string failure = OpenTarget();
        std::string misfit;
        if (failure.empty()) misfit = CheckLead(range.id, name);
        // A segment that held no bytes never got a part file.
        if (failure.empty() && misfit.empty() && PathExists(name)) {
            failure = AppendPart(name, targetFd, target, buffer);
        }
        guard.lock();
        if (!misfit.empty()) {
            seamReason = misfit;
            error = misfit;
            // The ranged workers still running stop: their bytes cannot be trusted either.
            if (job != nullptr) job->RequestWholeFile();
        } else if (failure.empty()) {
            ++next;
        } else {
            error = failure;
        }
    }
    appending = false;
    idle.notify_all();
}

std::string PartJoiner::OpenTarget() {
    if (targetFd >= 0) return "";
    sizeBefore = FileSize(target);
    // Not O_APPEND, which the kernel copy refuses: positioned at the end instead, and written
    // only here, so every part still goes after the previous one.
    // Read too: each part's lead is compared with the target's end before it goes on.
    targetFd = ::open(target.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (targetFd < 0) return DescribeFileError("cannot open target file", target, errno);
    if (::lseek(targetFd, 0, SEEK_END) < 0) {
        const int failure = errno;
        ::close(targetFd);
        targetFd = -1;
        return DescribeFileError("cannot open target file", target, failure);
    }
    buffer.resize(kJoinBufferSize);
    return "";
}

bool PartJoiner::Planned() const {
    return job != nullptr && job->knowledge.ranges.Planned();
}

std::vector<RangeInfo> PartJoiner::Order() const {
    if (Planned()) return job->knowledge.ranges.Ordered();
    std::vector<RangeInfo> order(static_cast<size_t>(count > 0 ? count : 0));
    for (int i = 0; i < count; ++i) {
        order[static_cast<size_t>(i)].id = i;
        order[static_cast<size_t>(i)].partName = PartFileName(target, i);
    }
    return order;
}

std::string PartJoiner::CheckLead(int i, const std::string& part) {
    const SegmentLead lead = job != nullptr ? job->knowledge.leads.Get(i) : SegmentLead{};
    if (!lead.Known()) return "";
    const off_t end = ::lseek(targetFd, 0, SEEK_END);
    const size_t size = static_cast<size_t>(lead.length);
    std::vector<char> bytes(size);
    auto readAt = [&](off_t at) {
        return at >= 0 && ::pread(targetFd, bytes.data(), size, at) == static_cast<ssize_t>(size);
    };
    if (!readAt(end - static_cast<off_t>(size))) {
        return DescribeFileError("cannot read the end of target file", target, errno);
    }
    if (WindowDigest(bytes.data(), size) == lead.digest) return "";
    std::string why = "part file " + part + " does not fit after the bytes before it: the " +
                      std::to_string(size) + " bytes before byte " + std::to_string(end) +
                      " came differently with it";
    if (readAt(0) && WindowDigest(bytes.data(), size) == lead.digest) {
        why += " (they are the file's first bytes: the server ignores offsets)";
    } else {
        why += " (the remote file changed, or the server is inconsistent)";
    }
    return why;
}

std::string PartJoiner::SeamReason() {
    std::lock_guard<std::mutex> guard(lock);
    return seamReason;
}

std::string PartJoiner::CutBack() {
    std::string failure;
    if (targetFd < 0) return failure;
    // The target is segment 0 again and the kept parts still fit after it; a later job then
    // resumes instead of appending twice.
    if (::ftruncate(targetFd, sizeBefore < 0 ? 0 : sizeBefore) != 0) {
        failure = std::string("cannot restore its size: ") + std::strerror(errno);
    }
    ::close(targetFd);
    targetFd = -1;
    return failure;
}

FileResult PartJoiner::Finish(bool delfiles, int64_t expectedSize) {
    std::unique_lock<std::mutex> guard(lock);
    idle.wait(guard, [this] { return !appending; });
    FileResult result;
    if (count > 1) {
        done.assign(std::max<size_t>(Order().size(), static_cast<size_t>(count)), true);
        ranges = true;
        abandoned = false;
        if (error.empty()) AppendDue(guard);
        // Even with every part skipped as empty, the target must exist to be checked.
        if (error.empty()) error = OpenTarget();
        result.error = error;
    }
    if (result.error.empty()) result.error = CheckSize(target, expectedSize);
    result.ok = result.error.empty();
    if (!result.ok) {
        const std::string cut = CutBack();
        if (!cut.empty()) result.error += "; " + cut;
    } else if (targetFd >= 0) {
        if (::close(targetFd) != 0) {
            result = {false, DescribeFileError("cannot write target file", target, errno)};
        }
        targetFd = -1;
    }
    if (result.ok && delfiles) DeleteParts(target, count);

    return result;
}

std::string PartJoiner::Undo() {
    std::unique_lock<std::mutex> guard(lock);
    abandoned = true;
    idle.wait(guard, [this] { return !appending; });
    return CutBack();
}
