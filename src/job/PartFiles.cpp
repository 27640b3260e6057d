#include "job/PartFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "engine/PartRecord.h"
#include "job/PartJoiner.h"
#include "job/TargetLock.h"

std::string DescribeFileError(const std::string& what, const std::string& path, int error) {
    return what + " " + path + ": " + std::strerror(error);
}

int64_t FileSize(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

namespace {

std::string SizeMismatch(const std::string& targetPath, int64_t actual, int64_t expected) {
    char text[160];
    std::snprintf(text, sizeof text, " holds %" PRId64 " bytes instead of %" PRId64, actual,
                  expected);
    return "target file " + targetPath + text;
}

}  // namespace

std::string CheckSize(const std::string& targetPath, int64_t expectedSize) {
    if (expectedSize < 0) return "";
    const int64_t size = FileSize(targetPath);
    if (size < 0) return DescribeFileError("cannot check target file", targetPath, errno);
    if (size != expectedSize) return SizeMismatch(targetPath, size, expectedSize);
    return "";
}

void DeleteParts(const std::string& targetPath, int threadCount) {
    for (int i = 1; i < threadCount; ++i) ::unlink(PartFileName(targetPath, i).c_str());
}

std::vector<std::string> TakenPartFiles(const std::string& targetPath) {
    std::vector<std::string> found;
    const size_t slash = targetPath.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : targetPath.substr(0, slash + 1);
    const std::string prefix =
        (slash == std::string::npos ? targetPath : targetPath.substr(slash + 1)) + ".r";
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return found;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        constexpr size_t kSuffix = 5;  // ".part"
        if (name.size() <= prefix.size() + kSuffix || name.compare(0, prefix.size(), prefix) != 0 ||
            name.compare(name.size() - kSuffix, kSuffix, ".part") != 0) {
            continue;
        }
        const std::string digits =
            name.substr(prefix.size(), name.size() - prefix.size() - kSuffix);
        if (!std::all_of(digits.begin(), digits.end(),
                         [](char c) { return c >= '0' && c <= '9'; })) {
            continue;
        }
        const std::string path = slash == std::string::npos ? name : dir + name;
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) found.push_back(path);
    }
    ::closedir(d);
    std::sort(found.begin(), found.end());
    return found;
}

bool PathExists(const std::string& path) {
    // A link counts as itself, dangling or not: the job never writes through one.
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> StrayPartFiles(const std::string& targetPath, int threadCount) {
    std::vector<std::string> found;
    for (int i = threadCount < 1 ? 1 : threadCount; i <= kMaxPartNumber; ++i) {
        const std::string name = PartFileName(targetPath, i);
        if (!PathExists(name)) continue;
        // "t.bin13" may be part 3 of a job on "t.bin1": its record then names fewer threads
        // than 14; a file another job holds is that job's target.
        PartRecord record;
        if (ReadPartRecord(name, record) && record.threadCount <= i) continue;
        if (HeldByAnotherJob(name)) continue;
        found.push_back(name);
    }
    return found;
}

int PartLayout(const std::string& targetPath, int threadCount) {
    int layout = 0;
    for (int i = 0; i <= kMaxPartNumber; ++i) {
        PartRecord record;
        const std::string name = PartFileName(targetPath, i);
        // A part names the count of its run; "t.bin13" may be part 3 of a job on "t.bin1".
        if (!ReadPartRecord(name, record) || record.threadCount <= i ||
            record.threadCount > kMaxPartNumber + 1 || HeldByAnotherJob(name)) {
            continue;
        }
        if (layout != 0 && layout != record.threadCount) return threadCount;
        layout = record.threadCount;
    }
    return layout == 0 ? threadCount : layout;
}

std::string ExistingFilesQuestion(const std::string& targetPath, int threadCount) {
    std::string text = "Files:\r\n";
    bool any = false;
    // The target first (it is part 0), then the numbered parts in thread order; parts begun
    // with another count are resumed too.
    const int count = threadCount < 1 ? 1 : PartLayout(targetPath, threadCount);
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
    PartJoiner joiner;
    joiner.Reset(targetPath, threadCount);
    return joiner.Finish(delfiles, expectedSize);
}

FileResult FinishJobFiles(const std::string& targetPath, int threadCount, bool delfiles,
                          int rangeSupport, int64_t fileSize, PartJoiner& joiner) {
    // A server that cannot resume gave the whole file to thread 0: the target is the file, and
    // any numbered part is left over from an earlier job and must never be appended.
    if (fileSize < 0) return {false, "the size of the remote file was never learnt"};
    FileResult result;
    if (rangeSupport == 0) {
        result.error = CheckSize(targetPath, fileSize);
        result.ok = result.error.empty();
        if (result.ok && delfiles) DeleteParts(targetPath, threadCount);
    } else {
        result = joiner.Finish(delfiles, fileSize);
    }
    // The finished file is the user's: it carries no record of ours. Taken ranges are the
    // job's own business (or a killed job's): never kept past a success.
    if (result.ok) {
        ClearPartRecord(targetPath);
        for (const std::string& name : TakenPartFiles(targetPath)) ::unlink(name.c_str());
    }
    return result;
}

FileResult FinishJobFiles(const std::string& targetPath, int threadCount, bool delfiles,
                          int rangeSupport, int64_t fileSize) {
    PartJoiner joiner;
    joiner.Reset(targetPath, threadCount);
    return FinishJobFiles(targetPath, threadCount, delfiles, rangeSupport, fileSize, joiner);
}
