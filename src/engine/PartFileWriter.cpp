#include "engine/PartFileWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "net/WriteAll.h"

PartFileWriter::~PartFileWriter() {
    if (fd >= 0) ::close(fd);
}

bool PartFileWriter::Open(const std::string& path) {
    if (fd >= 0) Close();
    error = 0;
    written = 0;
    used = 0;
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = errno;
        return false;
    }
    // Only the block alignment depends on it: a file without a position (a pipe) still works.
    const off_t end = ::lseek(fd, 0, SEEK_END);
    fileOffset = end < 0 ? 0 : static_cast<int64_t>(end);
    buffer.resize(kBlock);
    return true;
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
    if (::close(fd) != 0 && ok) {
        error = errno;
        ok = false;
    }
    fd = -1;
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
