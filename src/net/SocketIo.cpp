#include "net/SocketIo.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>

namespace socketio {

namespace {

enum class WaitResult { Ready, Woken, TimedOut, Failed };

// Waits until fd shows `events`, wakeFd is signalled, or the deadline passes.
WaitResult WaitFor(int fd, int wakeFd, short events, Clock::time_point deadline, int& error) {
    for (;;) {
        auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) return WaitResult::TimedOut;
        // Round up so a sub-millisecond remainder does not turn into a busy loop.
        auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        pollfd fds[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
        int n = ::poll(fds, 2, static_cast<int>(ms < INT_MAX ? ms : INT_MAX));
        if (n < 0) {
            if (errno == EINTR) continue;
            error = errno;
            return WaitResult::Failed;
        }
        if (fds[1].revents != 0) return WaitResult::Woken;
        // Errors and hang-ups count as ready: the next socket call reports them.
        if (fds[0].revents != 0) return WaitResult::Ready;
    }
}

// The error a call reports for a wait that did not end ready.
int WaitError(WaitResult result, int error) {
    if (result == WaitResult::TimedOut) return ETIMEDOUT;
    if (result == WaitResult::Woken) return ECANCELED;
    return error;
}

}  // namespace

Clock::time_point DeadlineAfter(int ms) {
    return Clock::now() + std::chrono::milliseconds(ms);
}

int WaitReady(int fd, int wakeFd, short events, Clock::time_point deadline) {
    int error = 0;
    WaitResult result = WaitFor(fd, wakeFd, events, deadline, error);
    return result == WaitResult::Ready ? 0 : WaitError(result, error);
}

int ConnectTo(int fd, int wakeFd, const sockaddr& remote, socklen_t remoteLength,
              Clock::time_point deadline) {
    if (::connect(fd, &remote, remoteLength) == 0) return 0;
    int error = errno;
    // A non-blocking connect interrupted by a signal goes on in the background.
    if (error != EINPROGRESS && error != EINTR) return error;
    error = 0;
    WaitResult result = WaitFor(fd, wakeFd, POLLOUT, deadline, error);
    if (result != WaitResult::Ready) return WaitError(result, error);
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    return error;
}

int SendAll(int fd, int wakeFd, const char* data, int length, int stallMs, int& sent) {
    sent = 0;
    Clock::time_point deadline = DeadlineAfter(stallMs);
    while (sent < length) {
        ssize_t n = ::send(fd, data + sent, length - sent, MSG_NOSIGNAL);
        if (n >= 0) {
            sent += static_cast<int>(n);
            deadline = DeadlineAfter(stallMs);  // the limit is on a stall, not on the whole send
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return errno;
        int error = 0;
        WaitResult result = WaitFor(fd, wakeFd, POLLOUT, deadline, error);
        if (result != WaitResult::Ready) return WaitError(result, error);
    }
    return 0;
}

namespace {

// One read by `read()` (a recv or a splice returning its count, -1 with errno): read first and
// poll only when nothing is waiting, so a busy connection costs one system call per read.
template <class Read>
int ReadOnce(int fd, int wakeFd, int stallMs, int& received, Read&& read) {
    bool waited = false;
    Clock::time_point deadline;
    for (;;) {
        ssize_t n = read();
        if (n >= 0) {
            received = static_cast<int>(n);
            return 0;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return errno;
        if (!waited) {
            deadline = DeadlineAfter(stallMs);
            waited = true;
        }
        int error = 0;
        WaitResult result = WaitFor(fd, wakeFd, POLLIN, deadline, error);
        if (result != WaitResult::Ready) return WaitError(result, error);
    }
}

}  // namespace

int ReceiveOnce(int fd, int wakeFd, char* buffer, int maxLength, int stallMs, int& received) {
    return ReadOnce(fd, wakeFd, stallMs, received,
                    [&] { return ::recv(fd, buffer, static_cast<size_t>(maxLength), 0); });
}

int SpliceOnce(int fd, int wakeFd, int pipeFd, int maxLength, int stallMs, int& received) {
    // Non-blocking on the pipe as well: the caller hands in an empty one, so EAGAIN can only
    // mean the socket has nothing yet.
    return ReadOnce(fd, wakeFd, stallMs, received, [&] {
        return ::splice(fd, nullptr, pipeFd, nullptr, static_cast<size_t>(maxLength),
                        SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    });
}

int AcceptOne(int fd, int wakeFd, sockaddr_in& peer, Clock::time_point deadline, int& acceptedFd) {
    for (;;) {
        socklen_t length = sizeof peer;
        acceptedFd = ::accept4(fd, reinterpret_cast<sockaddr*>(&peer), &length,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (acceptedFd >= 0) return 0;
        // A peer that gave up before it was taken is no reason to fail the wait.
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return errno;
        int error = 0;
        WaitResult result = WaitFor(fd, wakeFd, POLLIN, deadline, error);
        if (result != WaitResult::Ready) return WaitError(result, error);
    }
}

}  // namespace socketio
