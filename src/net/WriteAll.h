#pragma once
// Writing a whole buffer to a descriptor (a file or a pipe), for the part files, the join and
// the settings file. Any thread.
#include <unistd.h>

#include <cerrno>
#include <cstddef>

// Writes all size bytes, retrying after a signal. Returns how many went in; error is 0 when
// all did, else the failed write's errno (ENOSPC when the system took nothing).
inline size_t WriteAll(int fd, const char* data, size_t size, int& error) {
    size_t done = 0;
    error = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? errno : ENOSPC;
            break;
        }
        done += static_cast<size_t>(n);
    }
    return done;
}
