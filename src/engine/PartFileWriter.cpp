#include "engine/PartFileWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "net/WSocket.h"
#include "net/WriteAll.h"

namespace {

// Asked of the pipe: one read moves up to this much. Larger than the default 64 KiB so a
// fast connection takes few system calls; the kernel's limit for unprivileged pipes is 1 MiB.
constexpr int kPipeBytes = 1024 * 1024;

}  // namespace

PartFileWriter::~PartFileWriter() {
    if (fd >= 0) {
        ReleaseReserved();
        ::close(fd);
    }
    ClosePipe();
}

bool PartFileWriter::Open(const std::string& path) {
    if (fd >= 0) Close();
    error = 0;
    written = 0;
    used = 0;
    reservedEnd = 0;
    spliceOut = true;
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = errno;
        return false;
    }
    // Writes follow on from here. A file without a position (a FIFO) fails the seek and still
    // works: only the block alignment depends on the offset.
    const off_t end = ::lseek(fd, 0, SEEK_END);
    fileOffset = end < 0 ? 0 : static_cast<int64_t>(end);
    buffer.resize(kBlock);
    return true;
}

void PartFileWriter::Reserve(int64_t bytes) {
    if (fd < 0 || bytes <= 0) return;
    // Never past the free room: a size that a server only claims must not fill the disk.
    struct statvfs room {};
    if (::fstatvfs(fd, &room) == 0) {
        const auto free = static_cast<int64_t>(room.f_bavail) * static_cast<int64_t>(room.f_frsize);
        bytes = std::min(bytes, free - kKeptFree);
        if (bytes <= 0) return;
    }
    const int64_t from = fileOffset + static_cast<int64_t>(used);
    if (::fallocate(fd, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(from), static_cast<off_t>(bytes)) ==
        0) {
        reservedEnd = std::max(reservedEnd, from + bytes);
    }
}

void PartFileWriter::ReleaseReserved() {
    struct stat status {};
    if (reservedEnd == 0 || ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return;
    // Room beyond what was written goes back (a failed, stopped or cut transfer). A hole
    // punched past the end frees nothing; cutting the file to its own size does.
    if (reservedEnd > status.st_size) (void)::ftruncate(fd, status.st_size);
    reservedEnd = 0;
}

bool PartFileWriter::Append(const char* data, size_t size) {
    if (fd < 0 || error != 0) {
        if (error == 0) error = EBADF;
        return false;
    }
    while (size > 0) {
        // Room up to the next block boundary of the file: a resumed part starts anywhere.
        const size_t toBoundary = kBlock - static_cast<size_t>(fileOffset % kBlock);
        const size_t take = std::min(size, toBoundary - used);
        std::memcpy(buffer.data() + used, data, take);
        used += take;
        data += take;
        size -= take;
        if (used == toBoundary && !WriteBuffered()) return false;
    }
    return true;
}

char* PartFileWriter::Room(size_t& size) {
    if (fd < 0 || error != 0) {
        size = 0;
        return nullptr;
    }
    size = kBlock - static_cast<size_t>(fileOffset % kBlock) - used;
    return buffer.data() + used;
}

bool PartFileWriter::Commit(size_t size) {
    if (fd < 0 || error != 0) {
        if (error == 0) error = EBADF;
        return false;
    }
    const size_t toBoundary = kBlock - static_cast<size_t>(fileOffset % kBlock);
    used = std::min(used + size, toBoundary);
    return used < toBoundary || WriteBuffered();
}

bool PartFileWriter::CanSplice() {
    if (pipeRead >= 0) return true;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    pipeRead = fds[0];
    pipeWrite = fds[1];
    (void)::fcntl(pipeWrite, F_SETPIPE_SZ, kPipeBytes);
    const int capacity = ::fcntl(pipeWrite, F_GETPIPE_SZ);
    pipeCapacity = capacity > 0 ? static_cast<size_t>(capacity) : 65536;
    return true;
}

int PartFileWriter::ReceiveFrom(WBaseSocket& source, size_t want) {
    if (!CanSplice() || !Flush()) return -1;
    const int got = source.ReceiveToPipe(pipeWrite, static_cast<int>(std::min(want, pipeCapacity)));
    if (got > 0) DrainPipe(static_cast<size_t>(got));
    return got;
}

// Moves `size` bytes waiting in the pipe into the file. A file that takes no splice (some
// filesystems have no such path) gets them through the buffer from then on.
bool PartFileWriter::DrainPipe(size_t size) {
    while (size > 0 && error == 0) {
        ssize_t n = -1;
        if (spliceOut) {
            n = ::splice(pipeRead, nullptr, fd, nullptr, size, SPLICE_F_MOVE);
            if (n < 0 && errno == EINVAL) spliceOut = false;
            if (n < 0 && errno == EINTR) continue;
        }
        if (!spliceOut) {
            const size_t take = std::min(size, buffer.size());
            n = ::read(pipeRead, buffer.data(), take);
            if (n < 0 && errno == EINTR) continue;
            if (n > 0) {
                used = static_cast<size_t>(n);
                const bool ok = WriteBuffered();
                size -= static_cast<size_t>(n);
                if (!ok) break;
                continue;
            }
        }
        if (n <= 0) {
            error = n < 0 ? errno : EIO;
            break;
        }
        fileOffset += n;
        written += n;
        size -= static_cast<size_t>(n);
    }
    // Whatever the file refused must not reach the next read.
    if (size > 0) ClosePipe();
    return error == 0;
}

void PartFileWriter::ClosePipe() {
    if (pipeRead >= 0) ::close(pipeRead);
    if (pipeWrite >= 0) ::close(pipeWrite);
    pipeRead = pipeWrite = -1;
}

bool PartFileWriter::Flush() {
    if (fd < 0 || error != 0) {
        if (error == 0) error = EBADF;
        return false;
    }
    return WriteBuffered();
}

bool PartFileWriter::Close() {
    if (fd < 0) {
        if (error == 0) error = EBADF;
        return false;
    }
    bool ok = error == 0 && WriteBuffered();
    ReleaseReserved();
    if (::close(fd) != 0 && ok) {
        error = errno;
        ok = false;
    }
    fd = -1;
    ClosePipe();
    return ok;
}

bool PartFileWriter::WriteBuffered() {
    int writeError = 0;
    const size_t done = WriteAll(fd, buffer.data(), used, writeError);
    if (writeError != 0) error = writeError;
    fileOffset += static_cast<int64_t>(done);
    written += static_cast<int64_t>(done);
    // What did not go in is dropped: the file ends at the last byte that did.
    used = 0;
    return error == 0;
}
