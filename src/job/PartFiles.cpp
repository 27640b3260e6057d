#include "job/PartFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

#include "engine/PartRecord.h"
#include "net/WriteAll.h"

namespace {

constexpr size_t kJoinBufferSize = 10240;
// Bytes per kernel copy call: large, so a part takes a few calls.
constexpr size_t kCopyStep = size_t{1} << 30;

std::string Describe(const std::string& what, const std::string& path, int error) {
    return what + " " + path + ": " + std::strerror(error);
}

// Size of a file (a link is not followed), or -1 with errno set.
int64_t FileSize(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

// Copies through the buffer from the part's current position to its end. "" when it all
// went in.
std::string CopyThroughBuffer(int partFd, const std::string& partPath, int targetFd,
                              const std::string& targetPath, std::vector<char>& buffer) {
    for (;;) {
        const ssize_t n = ::read(partFd, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return Describe("cannot read part file", partPath, errno);
        }
        if (n == 0) return "";
        int error = 0;
        WriteAll(targetFd, buffer.data(), static_cast<size_t>(n), error);
        if (error != 0) return Describe("cannot write target file", targetPath, error);
    }
}

// Appends the whole of one part at the target's position (its end). The kernel copies it
// where the file system lets it, so the bytes never pass through this process; when it
// refuses, or fails in a way only the read or the write can name, the buffer copy goes on
// from where it stopped and reports any failure as before. "" when it went in completely.
std::string AppendPart(const std::string& partPath, int targetFd, const std::string& targetPath,
                       std::vector<char>& buffer) {
    const int partFd = ::open(partPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (partFd < 0) return Describe("cannot open part file", partPath, errno);
    bool inKernel = true;
    while (inKernel) {
        const ssize_t n = ::copy_file_range(partFd, nullptr, targetFd, nullptr, kCopyStep, 0);
        if (n > 0) continue;
        if (n < 0 && errno == EINTR) continue;
        // 0: the part is in. Otherwise EXDEV, EINVAL, ENOSYS, EOPNOTSUPP (no kernel copy
        // between these files) or a real failure, which the buffer copy meets again.
        if (n == 0) break;
        inKernel = false;
    }
    std::string error;
    if (!inKernel) error = CopyThroughBuffer(partFd, partPath, targetFd, targetPath, buffer);
    ::close(partFd);
    return error;
}

std::string SizeMismatch(const std::string& targetPath, int64_t actual, int64_t expected) {
    char text[160];
    std::snprintf(text, sizeof text, " holds %" PRId64 " bytes instead of %" PRId64, actual,
                  expected);
    return "target file " + targetPath + text;
}

// "" when the target holds exactly expectedSize bytes (or no size is to be checked).
std::string CheckSize(const std::string& targetPath, int64_t expectedSize) {
    if (expectedSize < 0) return "";
    const int64_t size = FileSize(targetPath);
    if (size < 0) return Describe("cannot check target file", targetPath, errno);
    if (size != expectedSize) return SizeMismatch(targetPath, size, expectedSize);
    return "";
}

void DeleteParts(const std::string& targetPath, int threadCount) {
    for (int i = 1; i < threadCount; ++i) ::unlink(PartFileName(targetPath, i).c_str());
}

}  // namespace

bool PathExists(const std::string& path) {
    // A link counts as itself, dangling or not: the job never writes through one.
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> StrayPartFiles(const std::string& targetPath, int threadCount) {
    std::vector<std::string> found;
    for (int i = threadCount < 1 ? 1 : threadCount; i <= kMaxPartNumber; ++i) {
        const std::string name = PartFileName(targetPath, i);
        if (PathExists(name)) found.push_back(name);
    }
    return found;
}

std::string ExistingFilesQuestion(const std::string& targetPath, int threadCount) {
    std::string text = "Files:\r\n";
    bool any = false;
    // The target first (it is part 0), then the numbered parts in thread order.
    const int count = threadCount < 1 ? 1 : threadCount;
    for (int i = 0; i < count; ++i) {
        const std::string name = PartFileName(targetPath, i);
        if (!PathExists(name)) continue;
        any = true;
        text += name + "\r\n";
    }
    if (!any) return "";
    text += "already exist.\r\nNOTE: If server doesn't support pumping,\r\n";
    text += targetPath + " will be deleted";
    return text;
}

FileResult JoinPartFiles(const std::string& targetPath, int threadCount, bool delfiles,
                         int64_t expectedSize) {
    FileResult result;
    if (threadCount > 1) {
        const int64_t sizeBefore = FileSize(targetPath);
        // Not O_APPEND, which the kernel copy refuses: positioned at the end instead, and
        // written only here, so every part still goes after the previous one.
        const int targetFd =
            ::open(targetPath.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (targetFd < 0) {
            return {false, Describe("cannot open target file", targetPath, errno)};
        }
        if (::lseek(targetFd, 0, SEEK_END) < 0) {
            const int error = errno;
            ::close(targetFd);
            return {false, Describe("cannot open target file", targetPath, error)};
        }
        std::vector<char> buffer(kJoinBufferSize);
        for (int i = 1; i < threadCount && result.ok; ++i) {
            const std::string name = PartFileName(targetPath, i);
            // A segment that held no bytes never got a part file.
            if (!PathExists(name)) continue;
            result.error = AppendPart(name, targetFd, targetPath, buffer);
            result.ok = result.error.empty();
        }
        if (result.ok) result.error = CheckSize(targetPath, expectedSize);
        result.ok = result.error.empty();
        // Undo a partial join so the target is segment 0 again and the kept parts still fit
        // after it; a later job then resumes instead of appending twice.
        if (!result.ok) {
            if (::ftruncate(targetFd, sizeBefore < 0 ? 0 : sizeBefore) != 0) {
                result.error += "; cannot restore its size: ";
                result.error += std::strerror(errno);
            }
        }
        if (::close(targetFd) != 0 && result.ok) {
            result = {false, Describe("cannot write target file", targetPath, errno)};
        }
    } else {
        result.error = CheckSize(targetPath, expectedSize);
        result.ok = result.error.empty();
    }
    if (result.ok && delfiles) DeleteParts(targetPath, threadCount);
    return result;
}

FileResult FinishJobFiles(const std::string& targetPath, int threadCount, bool delfiles,
                          int rangeSupport, int64_t fileSize) {
    // A server that cannot resume gave the whole file to thread 0: the target is the file, and
    // any numbered part is left over from an earlier job and must never be appended.
    if (fileSize < 0) return {false, "the size of the remote file was never learnt"};
    FileResult result;
    if (rangeSupport == 0) {
        result.error = CheckSize(targetPath, fileSize);
        result.ok = result.error.empty();
        if (result.ok && delfiles) DeleteParts(targetPath, threadCount);
    } else {
        result = JoinPartFiles(targetPath, threadCount, delfiles, fileSize);
    }
    // The finished file is the user's: it carries no record of ours.
    if (result.ok) ClearPartRecord(targetPath);
    return result;
}
