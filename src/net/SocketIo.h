#pragma once
// Descriptor-level waits behind WSocket's blocking calls: each works on a non-blocking socket
// and also watches the socket's wake descriptor, which Close signals to cancel the call.
// Called on the socket's owner thread only, with no lock held.
#include <netinet/in.h>

#include <chrono>

namespace socketio {

using Clock = std::chrono::steady_clock;

Clock::time_point DeadlineAfter(int ms);

// Waits until fd shows `events` (errors and hang-ups count: the next call reports them):
// 0, or ETIMEDOUT, ECANCELED (wakeFd signalled) or the OS error of the wait.
int WaitReady(int fd, int wakeFd, short events, Clock::time_point deadline);

// Each returns 0 on success or the error code for lastError: ETIMEDOUT when the deadline (or
// the stall limit) passed, ECANCELED when wakeFd was signalled, else the OS error.
int ConnectTo(int fd, int wakeFd, const sockaddr& remote, socklen_t length,
              Clock::time_point deadline);
// Sends all `length` bytes; `sent` tells how many went out.
int SendAll(int fd, int wakeFd, const char* data, int length, int stallMs, int& sent);
// One read; `received` is the byte count (0: the peer closed). The stall limit runs from the
// first time nothing is waiting, so a read of data already there costs one system call and no
// clock.
int ReceiveOnce(int fd, int wakeFd, char* buffer, int maxLength, int stallMs, int& received);
// One read of at most maxLength bytes moved from the socket into the pipe's write end
// (splice: the bytes never pass through user space), with ReceiveOnce's waits and results.
// The pipe must be empty.
int SpliceOnce(int fd, int wakeFd, int pipeFd, int maxLength, int stallMs, int& received);
// One accepted connection, non-blocking and close-on-exec, in `acceptedFd`.
int AcceptOne(int fd, int wakeFd, sockaddr_in& peer, Clock::time_point deadline, int& acceptedFd);

}  // namespace socketio
