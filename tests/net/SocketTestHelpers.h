#pragma once
// Helpers for the socket tests: loopback pairs, raw peers, a listener that makes connects
// hang, descriptor inspection through /proc, and a way to hold a thread inside a system call.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "net/WSocket.h"
#include "support/Blocked.h"

namespace sockettest {

// Limits that keep a broken test from hanging for the production defaults.
constexpr int kTestLimitMs = 5000;

inline void Configure(WBaseSocket& socket) {
    socket.SetSocketType(1);
    socket.SetAddressFamily(2);
    socket.SetProtocol(0);
    socket.SetTimeouts(kTestLimitMs, kTestLimitMs);
}

// A client socket created and pointed at 127.0.0.1:port (state Resolved).
inline std::unique_ptr<WSocket> ClientFor(int port) {
    auto client = std::make_unique<WSocket>();
    Configure(*client);
    EXPECT_TRUE(client->Create());
    EXPECT_TRUE(client->SetRemotePort(port));
    EXPECT_TRUE(client->SetRemoteAddress("127.0.0.1"));
    return client;
}

// A listening WServerSocket on an OS-chosen port.
inline void StartListening(WServerSocket& server) {
    Configure(server);
    ASSERT_TRUE(server.Create());
    ASSERT_TRUE(server.SetLocalPort(0));
    ASSERT_TRUE(server.Listen());
}

// Two connected WSockets over loopback.
struct LoopbackPair {
    WServerSocket server;
    std::unique_ptr<WSocket> client;
    std::unique_ptr<WSocket> accepted;

    LoopbackPair() {
        StartListening(server);
        client = ClientFor(server.GetLocalPort());
        EXPECT_TRUE(client->Connect());
        accepted = server.Accept();
        EXPECT_EQ(accepted->GetState(), Connected);
    }
};

// A plain POSIX socket, closed on destruction.
class RawFd {
public:
    explicit RawFd(int fd = -1) : fd_(fd) {}
    ~RawFd() { Reset(); }
    RawFd(const RawFd&) = delete;
    RawFd& operator=(const RawFd&) = delete;
    RawFd(RawFd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    RawFd& operator=(RawFd&& other) noexcept {
        if (this != &other) {
            Reset(other.fd_);
            other.fd_ = -1;
        }
        return *this;
    }
    int Get() const { return fd_; }
    void Reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

inline sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

inline int LocalPortOf(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return ntohs(address.sin_port);
}

// A raw listener on 127.0.0.1; receiveBuffer > 0 shrinks the accepted sockets' receive buffer.
inline RawFd RawListener(int backlog, int receiveBuffer = 0) {
    RawFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (receiveBuffer > 0) {
        ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    sockaddr_in address = Loopback(0);
    EXPECT_EQ(::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(fd.Get(), backlog), 0);
    return fd;
}

// Waits up to timeoutMs for a pending connection on a raw listener and accepts it.
inline RawFd RawAccept(int listener, int timeoutMs = kTestLimitMs) {
    pollfd p{listener, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) != 1) return RawFd();
    return RawFd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
}

// A listener whose accept queue is full and which never accepts: connects to it hang (the
// kernel drops their SYNs), which keeps the test on 127.0.0.1.
class HangingListener {
public:
    HangingListener() : listener_(RawListener(0)) {
        sockaddr_in address = Loopback(LocalPortOf(listener_.Get()));
        for (int i = 0; i < 8 && !hangs_; ++i) {
            RawFd filler(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
            ::connect(filler.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
            pollfd p{filler.Get(), POLLOUT, 0};
            hangs_ = ::poll(&p, 1, 300) == 0;
            fillers_.push_back(std::move(filler));
        }
    }
    bool Hangs() const { return hangs_; }
    int Port() const { return LocalPortOf(listener_.Get()); }

private:
    RawFd listener_;
    std::vector<RawFd> fillers_;
    bool hangs_ = false;
};

// Descriptor numbers of this process that refer to sockets.
inline std::set<int> OpenSocketFds() {
    std::set<int> fds;
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return fds;
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::string link = "/proc/self/fd/" + std::string(entry->d_name);
        char target[256] = {};
        ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, n).rfind("socket:", 0) == 0) {
            fds.insert(std::stoi(entry->d_name));
        }
    }
    ::closedir(dir);
    return fds;
}

inline int OpenFdCount() {
    int count = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return -1;
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
    return count - 1;  // the directory stream's own descriptor
}

// Creates the socket's OS socket and returns its descriptor number (-1 when not found).
inline int CreateAndFindFd(WBaseSocket& socket) {
    std::set<int> before = OpenSocketFds();
    if (!socket.Create()) return -1;
    for (int fd : OpenSocketFds()) {
        if (!before.count(fd)) return fd;
    }
    return -1;
}

inline ino_t InodeOf(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? st.st_ino : 0;
}

inline bool FdIsOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

using testsupport::CurrentTid;

// True once thread `tid` of this process sits in poll/ppoll (checked for up to 5 s): the
// socket calls wait only there, so the call is then blocked and in flight.
inline bool WaitUntilBlockedInPoll(int tid) {
    return testsupport::WaitUntilBlocked(tid, testsupport::BlockedIn::Poll);
}

// Holds a thread inside its current system call: a signal handler on that thread spins until
// Release (at most 10 s). The interrupted poll then returns EINTR and the call goes on.
class ThreadFreezer {
public:
    ThreadFreezer() {
        struct sigaction action {};
        action.sa_handler = &Handler;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;  // no SA_RESTART: the poll sees EINTR
        ::sigaction(SIGUSR1, &action, &previous_);
    }
    ~ThreadFreezer() {
        Release();
        ::sigaction(SIGUSR1, &previous_, nullptr);
    }
    // Sends the signal and waits (up to 5 s) until the handler runs.
    bool Freeze(pthread_t thread) {
        Hold().store(true);
        if (::pthread_kill(thread, SIGUSR1) != 0) return false;
        for (int i = 0; i < 5000 && !Frozen().load(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return Frozen().load();
    }
    void Release() { Hold().store(false); }

private:
    static std::atomic<bool>& Hold() {
        static std::atomic<bool> hold{false};
        return hold;
    }
    static std::atomic<bool>& Frozen() {
        static std::atomic<bool> frozen{false};
        return frozen;
    }
    static void Handler(int) {
        Frozen().store(true);
        timespec pause{0, 1000000};
        for (int i = 0; i < 10000 && Hold().load(); ++i) ::nanosleep(&pause, nullptr);
        Frozen().store(false);
    }
    struct sigaction previous_ {};
};

}  // namespace sockettest
