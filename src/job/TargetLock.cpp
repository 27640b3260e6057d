#include "job/TargetLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <vector>

#include "job/PartFiles.h"

TargetLock::~TargetLock() {
    Release();
}

bool HeldByAnotherJob(const std::string& path) {
    const int handle =
        ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW);
    if (handle < 0) return false;
    struct stat status {};
    bool held = false;
    if (::fstat(handle, &status) == 0 && S_ISREG(status.st_mode)) {
        held = ::flock(handle, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    }
    ::close(handle);  // drops the probe's own shared lock too
    return held;
}

namespace {

// The targets whose part files this name could be: "X" for "X<n>" (n = 1..99) and for
// "X.r<digits>.part".
std::vector<std::string> OwnersIfPart(const std::string& name) {
    std::vector<std::string> owners;
    const size_t slash = name.rfind('/');
    const size_t base = slash == std::string::npos ? 0 : slash + 1;
    size_t digits = 0;
    while (digits < 2 && name.size() > base + digits + 1 &&
           std::isdigit(static_cast<unsigned char>(name[name.size() - 1 - digits]))) {
        ++digits;
        // No part number starts with 0.
        if (name[name.size() - digits] != '0')
            owners.push_back(name.substr(0, name.size() - digits));
    }
    const std::string suffix = ".part";
    if (name.size() > base + suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
        const size_t r = name.rfind(".r", name.size() - suffix.size());
        if (r != std::string::npos && r > base && r + 2 < name.size() - suffix.size()) {
            owners.push_back(name.substr(0, r));
        }
    }
    return owners;
}

// Why this job's files are another running job's, or "".
std::string ForeignFiles(const std::string& target, int threadCount) {
    for (const std::string& owner : OwnersIfPart(target)) {
        if (HeldByAnotherJob(owner)) {
            return target + " is a part file of another download (of " + owner + ")";
        }
    }
    std::vector<std::string> parts;
    for (int i = 1; i < threadCount; ++i) parts.push_back(PartFileName(target, i));
    for (const std::string& taken : TakenPartFiles(target)) parts.push_back(taken);
    for (const std::string& part : parts) {
        if (HeldByAnotherJob(part))
            return "its part file " + part + " is in use by another download";
    }
    return "";
}

}  // namespace

bool TargetLock::Acquire(const std::string& target, int threadCount, std::string& error) {
    Release();
    // Checked before anything is made or touched; a job that starts meanwhile on one of these
    // names finds this one's lock in turn.
    error = ForeignFiles(target, threadCount);
    if (!error.empty()) return false;
    std::lock_guard<std::mutex> guard(mutex);
    struct stat status;
    if (::stat(target.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) return true;
    bool made = false;
    // O_NONBLOCK: opening must never wait (a FIFO swapped in meanwhile); O_EXCL never creates
    // through a symlink.
    int handle = ::open(target.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (handle < 0 && errno == ENOENT) {
        handle = ::open(target.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        made = handle >= 0;
    }
    if (handle < 0) return true;
    if (::fstat(handle, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(handle);
        return true;
    }
    if (::flock(handle, LOCK_EX | LOCK_NB) != 0) {
        const int why = errno;
        ::close(handle);
        if (why != EWOULDBLOCK) return true;
        // Only an existing file can be locked by someone else, so nothing was made here.
        error = target + " is in use by another download";
        return false;
    }
    fd = handle;
    created = made;
    path = target;
    return true;
}

void TargetLock::Release() {
    std::lock_guard<std::mutex> guard(mutex);
    if (fd < 0) return;
    // The empty file made to carry the lock goes again, unless something came into it (or
    // the name now points elsewhere).
    struct stat byName, byHandle;
    if (created && ::fstat(fd, &byHandle) == 0 && byHandle.st_size == 0 &&
        ::lstat(path.c_str(), &byName) == 0 && byName.st_ino == byHandle.st_ino &&
        byName.st_dev == byHandle.st_dev) {
        ::unlink(path.c_str());
    }
    ::close(fd);
    fd = -1;
    created = false;
}
