#include "job/TargetLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

TargetLock::~TargetLock() {
    Release();
}

bool TargetLock::Acquire(const std::string& target, std::string& error) {
    Release();
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
