#include "net/WSocket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "net/SocketIo.h"
#include "net/TlsIo.h"

using socketio::Clock;
using socketio::DeadlineAfter;

namespace {

constexpr int kBuiltinConnectMs = 30000;
constexpr int kBuiltinStallMs = 60000;

sockaddr_in MakeAddress(uint32_t hostOrderAddress) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = 0;
    address.sin_addr.s_addr = htonl(hostOrderAddress);
    return address;
}

}  // namespace

// The socket record. Its mutex guards every field; it is never held across a blocking wait,
// so a Close from another thread always gets through to wake the owner's call.
struct WSocketImp {
    mutable std::mutex mutex;
    int handle = -1;
    int state = Idle;
    int lastError = 0;
    int addressFamily = AF_INET;
    int socketType = SOCK_STREAM;
    int protocol = 0;
    sockaddr_in localAddress = MakeAddress(INADDR_ANY);
    sockaddr_in remoteAddress = MakeAddress(INADDR_NONE);
    // An IPv6 peer (SetRemoteAddress with IPv6 text): the socket is then of that family.
    bool remoteIsV6 = false;
    sockaddr_in6 remoteAddress6{};
    int connectMs = 0;
    int stallMs = 0;
    // BeginBlockDeadline: the whole exchange must be over by then, however it trickles in.
    bool hasBlockDeadline = false;
    Clock::time_point blockDeadline;
    // The TLS session after StartTls; used by the owner thread's calls only. A Close during a
    // call leaves it to that call, like the descriptor.
    ssl_st* tls = nullptr;
    std::string tlsFailure;

    // Cancellation: a blocking call waits on the socket and on wakeFd. A Close that finds a
    // call in flight bumps closeCount, signals wakeFd and parks the descriptor in deferred;
    // the call closes it when it ends, so the number cannot be reused under its feet.
    int wakeFd = -1;
    int inFlight = 0;
    unsigned closeCount = 0;
    std::vector<int> deferred;
    std::vector<ssl_st*> deferredTls;

    void Fail(int error) {
        state = Error;
        lastError = error;
    }
    void ResetRecord() {
        state = Idle;
        handle = -1;
        tls = nullptr;
        lastError = 0;
        localAddress = MakeAddress(INADDR_ANY);
        remoteAddress = MakeAddress(INADDR_NONE);
        remoteIsV6 = false;
    }
    bool EnsureWake() {
        if (wakeFd < 0) wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        return wakeFd >= 0;
    }
    int ConnectLimit() const { return connectMs > 0 ? connectMs : kBuiltinConnectMs; }
    int StallLimit() const { return stallMs > 0 ? stallMs : kBuiltinStallMs; }
    // The stall limit of the next wait, cut to the block deadline; 0 when that has passed.
    int WaitLimit() const {
        const int stall = StallLimit();
        if (!hasBlockDeadline) return stall;
        auto left = std::chrono::ceil<std::chrono::milliseconds>(blockDeadline - Clock::now());
        if (left.count() <= 0) return 0;
        return left.count() < stall ? static_cast<int>(left.count()) : stall;
    }
};

namespace {

// One blocking call on a socket, from its start (lock held) to its end. While it lives, the
// record's descriptor stays open even if another thread closes the socket.
class InFlightCall {
public:
    explicit InFlightCall(WSocketImp& imp)
        : imp_(imp), closeCountAtStart_(imp.closeCount), fd(imp.handle), wakeFd(imp.wakeFd) {
        ++imp_.inFlight;
    }
    InFlightCall(const InFlightCall&) = delete;
    InFlightCall& operator=(const InFlightCall&) = delete;

    // Ends the call; `lock` holds the record's mutex. True when a Close cancelled the call:
    // the record then belongs to the Close (already reset) and the caller must not touch it.
    // In that case the lock is released on return.
    bool Finish(std::unique_lock<std::mutex>& lock) {
        --imp_.inFlight;
        if (imp_.closeCount == closeCountAtStart_) return false;
        std::vector<int> toClose;
        std::vector<ssl_st*> toFree;
        if (imp_.inFlight == 0) {
            uint64_t drained = 0;
            if (imp_.wakeFd >= 0) (void)!::read(imp_.wakeFd, &drained, sizeof drained);
            toClose.swap(imp_.deferred);
            toFree.swap(imp_.deferredTls);
        }
        lock.unlock();
        for (ssl_st* session : toFree) tlsio::FreeSession(session);
        for (int deferredFd : toClose) ::close(deferredFd);
        return true;
    }

private:
    WSocketImp& imp_;
    unsigned closeCountAtStart_;

public:
    const int fd;
    const int wakeFd;
};

}  // namespace

namespace {

// The socket's own address into `address`; a failure is recorded on the socket.
bool ReadLocalAddress(WSocketImp& imp, sockaddr_in& address) {
    socklen_t length = sizeof address;
    if (::getsockname(imp.handle, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        return true;
    }
    imp.Fail(errno);
    return false;
}

// Binds the socket to its localAddress; a failure is recorded on the socket.
bool BindLocal(WSocketImp& imp) {
    if (::bind(imp.handle, reinterpret_cast<const sockaddr*>(&imp.localAddress),
               sizeof imp.localAddress) == 0) {
        return true;
    }
    imp.Fail(errno);
    return false;
}

}  // namespace

WBaseSocket::WBaseSocket() : imp_(std::make_unique<WSocketImp>()) {}

WBaseSocket::~WBaseSocket() {
    std::lock_guard<std::mutex> lock(imp_->mutex);
    tlsio::FreeSession(imp_->tls);
    for (ssl_st* session : imp_->deferredTls) tlsio::FreeSession(session);
    if (imp_->handle >= 0) ::close(imp_->handle);
    for (int fd : imp_->deferred) ::close(fd);
    if (imp_->wakeFd >= 0) ::close(imp_->wakeFd);
}

bool WBaseSocket::SetAddressFamily(int family) {
    std::lock_guard<std::mutex> lock(imp_->mutex);
    if (imp_->state != Idle) return false;
    imp_->addressFamily = family;
    return true;
}

bool WBaseSocket::SetSocketType(int type) {
    std::lock_guard<std::mutex> lock(imp_->mutex);
    if (imp_->state != Idle) return false;
    imp_->socketType = type;
    return true;
}

bool WBaseSocket::SetProtocol(int protocol) {
    std::lock_guard<std::mutex> lock(imp_->mutex);
    if (imp_->state != Idle) return false;
    imp_->protocol = protocol;
    return true;
}

bool WBaseSocket::Create() {
    std::lock_guard<std::mutex> lock(imp_->mutex);
    WSocketImp& imp = *imp_;
    if (imp.handle >= 0) return true;
    if (!imp.EnsureWake()) {
        imp.Fail(errno);
        return false;
    }
    // Non-blocking inside: every wait is a poll that Close can interrupt.
    int fd =
        ::socket(imp.addressFamily, imp.socketType | SOCK_NONBLOCK | SOCK_CLOEXEC, imp.protocol);
    if (fd < 0) {
        imp.Fail(errno);
        return false;
    }
    imp.handle = fd;
    return true;
}

bool WBaseSocket::SetRemoteHost(const std::string& hostName) {
    std::unique_lock<std::mutex> lock(imp_->mutex);
    WSocketImp& imp = *imp_;
    if (imp.state != Idle) return false;
    imp.state = Resolving;
    // Counted as a call in flight so a Close during the lookup leaves the result unapplied.
    InFlightCall call(imp);
    lock.unlock();

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int rc = ::getaddrinfo(hostName.c_str(), nullptr, &hints, &found);
    int error = rc == EAI_SYSTEM ? errno : rc;
    in_addr address{};
    if (rc == 0) {
        address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
        ::freeaddrinfo(found);
    }

    lock.lock();
    if (call.Finish(lock)) return false;
    if (rc != 0) {
        imp.Fail(error);
        return false;
    }
    imp.remoteAddress.sin_addr = address;
    imp.state = Resolved;
    return true;
}

bool WBaseSocket::SetRemoteAddress(const std::string& dottedQuad) {
    std::lock_guard<std::mutex> lock(imp_->mutex);
    WSocketImp& imp = *imp_;
    if (imp.state != Idle) return false;
    in6_addr v6{};
    if (::inet_pton(AF_INET6, dottedQuad.c_str(), &v6) == 1) {
        // A socket made for IPv4 and not yet used is made again for IPv6.
        if (imp.addressFamily != AF_INET6 && imp.handle >= 0) {
            const int fd =
                ::socket(AF_INET6, imp.socketType | SOCK_NONBLOCK | SOCK_CLOEXEC, imp.protocol);
            if (fd < 0) {
                imp.Fail(errno);
                return false;
            }
            ::close(imp.handle);
            imp.handle = fd;
        }
        imp.addressFamily = AF_INET6;
        imp.remoteIsV6 = true;
        imp.remoteAddress6.sin6_family = AF_INET6;
        imp.remoteAddress6.sin6_addr = v6;
        imp.remoteAddress6.sin6_port = imp.remoteAddress.sin_port;
        imp.state = Resolved;
        return true;
    }
    // inet_addr on purpose: text that is no address becomes 255.255.255.255, which Connect
    // then refuses.
    imp.remoteAddress.sin_addr.s_addr = ::inet_addr(dottedQuad.c_str());
    imp.state = Resolved;
    return true;
}

bool WBaseSocket::SetRemotePort(int port) {
    std::lock_guard<std::mutex> lock(imp_->mutex);
    WSocketImp& imp = *imp_;
    if (imp.state != Idle && imp.state != Resolving && imp.state != Resolved) return false;
    imp.remoteAddress.sin_port = htons(static_cast<uint16_t>(port));
    imp.remoteAddress6.sin6_port = imp.remoteAddress.sin_port;
    return true;
}

bool WBaseSocket::SetLocalPort(int port) {
    std::lock_guard<std::mutex> lock(imp_->mutex);
    WSocketImp& imp = *imp_;
    if (imp.state != Idle && imp.state != Resolving && imp.state != Resolved) return false;
    imp.localAddress.sin_port = htons(static_cast<uint16_t>(port));
    return true;
}

bool WBaseSocket::SetLocalAddress(const std::string& dottedQuad) {
    std::lock_guard<std::mutex> lock(imp_->mutex);
    WSocketImp& imp = *imp_;
    if (imp.state != Idle && imp.state != Resolving && imp.state != Resolved) return false;
    in_addr address{};
    if (::inet_pton(AF_INET, dottedQuad.c_str(), &address) != 1) return false;
    imp.localAddress.sin_addr = address;
    return true;
}

std::string WBaseSocket::GetRemoteAddress() const {
    std::lock_guard<std::mutex> lock(imp_->mutex);
    char text[INET6_ADDRSTRLEN] = {};
    const bool v6 = imp_->remoteIsV6;
    const void* address = v6 ? static_cast<const void*>(&imp_->remoteAddress6.sin6_addr)
                             : static_cast<const void*>(&imp_->remoteAddress.sin_addr);
    if (!::inet_ntop(v6 ? AF_INET6 : AF_INET, address, text, sizeof text)) return "";
    return text;
}

void WBaseSocket::BeginBlockDeadline() {
    std::lock_guard<std::mutex> lock(imp_->mutex);
    imp_->blockDeadline = DeadlineAfter(imp_->StallLimit());
    imp_->hasBlockDeadline = true;
}

void WBaseSocket::EndBlockDeadline() {
    std::lock_guard<std::mutex> lock(imp_->mutex);
    imp_->hasBlockDeadline = false;
}

std::string WBaseSocket::GetLocalAddress() const {
    std::lock_guard<std::mutex> lock(imp_->mutex);
    char text[INET_ADDRSTRLEN] = {};
    if (!::inet_ntop(AF_INET, &imp_->localAddress.sin_addr, text, sizeof text)) return "";
    return text;
}

int WBaseSocket::GetLocalPort() const {
    std::lock_guard<std::mutex> lock(imp_->mutex);
    return ntohs(imp_->localAddress.sin_port);
}

int WBaseSocket::GetState() const {
    std::lock_guard<std::mutex> lock(imp_->mutex);
    return imp_->state;
}

int WBaseSocket::GetLastError() const {
    std::lock_guard<std::mutex> lock(imp_->mutex);
    return imp_->lastError;
}

void WBaseSocket::SetTimeouts(int connectMs, int stallMs) {
    std::lock_guard<std::mutex> lock(imp_->mutex);
    imp_->connectMs = connectMs;
    imp_->stallMs = stallMs;
}

bool WBaseSocket::Close(bool linger, int lingerSeconds) {
    std::unique_lock<std::mutex> lock(imp_->mutex);
    WSocketImp& imp = *imp_;
    if (imp.state == Idle || imp.state == Closing || imp.state == Error) return false;
    imp.state = Closing;
    if (imp.handle < 0) {
        imp.Fail(EBADF);
        return false;
    }
    struct linger option {};
    option.l_onoff = linger ? 1 : 0;
    option.l_linger = linger ? lingerSeconds : 0;
    if (::setsockopt(imp.handle, SOL_SOCKET, SO_LINGER, &option, sizeof option) != 0) {
        imp.Fail(errno);
        return false;
    }
    int fd = imp.handle;
    imp.handle = -1;
    if (imp.inFlight > 0) {
        // The owner thread is inside a call on fd: end the connection and wake the call, but
        // leave the descriptor to the call so its number stays reserved until it returns.
        ::shutdown(fd, SHUT_RDWR);
        ++imp.closeCount;
        uint64_t one = 1;
        if (imp.wakeFd >= 0) (void)!::write(imp.wakeFd, &one, sizeof one);
        imp.deferred.push_back(fd);
        if (imp.tls != nullptr) imp.deferredTls.push_back(imp.tls);
        imp.ResetRecord();
        return true;
    }
    tlsio::FreeSession(imp.tls);
    imp.tls = nullptr;
    // A lingering close may block; the record shows Closing meanwhile.
    lock.unlock();
    int rc = ::close(fd);
    int error = errno;
    lock.lock();
    // After EINTR the descriptor is released all the same on Linux.
    if (rc != 0 && error != EINTR) {
        imp.Fail(error);
        return false;
    }
    imp.ResetRecord();
    return true;
}

bool WBaseSocket::Connect() {
    std::unique_lock<std::mutex> lock(imp_->mutex);
    WSocketImp& imp = *imp_;
    if (imp.state != Resolved) return false;
    imp.state = Connecting;
    if (imp.handle < 0) {
        imp.Fail(EBADF);
        return false;
    }
    // An unbound socket reads back port 0; bind only when a local port was asked for,
    // otherwise the OS picks one during the connect.
    sockaddr_in bound{};
    if (!ReadLocalAddress(imp, bound)) return false;
    if (bound.sin_port == 0 && imp.localAddress.sin_port != 0 && !BindLocal(imp)) return false;
    InFlightCall call(imp);
    sockaddr_storage remote{};
    socklen_t remoteLength = 0;
    if (imp.remoteIsV6) {
        std::memcpy(&remote, &imp.remoteAddress6, sizeof imp.remoteAddress6);
        remoteLength = sizeof imp.remoteAddress6;
    } else {
        std::memcpy(&remote, &imp.remoteAddress, sizeof imp.remoteAddress);
        remoteLength = sizeof imp.remoteAddress;
    }
    Clock::time_point deadline = DeadlineAfter(imp.ConnectLimit());
    lock.unlock();

    int error = socketio::ConnectTo(call.fd, call.wakeFd, reinterpret_cast<const sockaddr&>(remote),
                                    remoteLength, deadline);

    lock.lock();
    if (call.Finish(lock)) return false;
    if (error != 0) {
        imp.Fail(error);
        return false;
    }
    imp.state = Connected;
    return ReadLocalAddress(imp, imp.localAddress);
}

namespace {

// One data call on the socket's connection, from the record's check to its end: the call
// `io(tls, fd, wakeFd, limitMs, done, why)` runs outside the lock and returns an errno or 0;
// its failure is recorded on the socket. A receive waits at most until the block deadline.
template <typename Io>
int TransferOnce(WSocketImp& imp, bool receiving, Io&& io) {
    std::unique_lock<std::mutex> lock(imp.mutex);
    if (imp.handle < 0) {
        imp.Fail(EBADF);
        return -1;
    }
    const int limitMs = receiving ? imp.WaitLimit() : imp.StallLimit();
    if (limitMs == 0) {
        imp.Fail(ETIMEDOUT);
        return -1;
    }
    ssl_st* tls = imp.tls;
    InFlightCall call(imp);
    lock.unlock();

    int done = 0;
    std::string why;
    int error = io(tls, call.fd, call.wakeFd, limitMs, done, why);

    lock.lock();
    if (call.Finish(lock)) return -1;
    if (error != 0) {
        imp.Fail(error);
        imp.tlsFailure = why;
        return -1;
    }
    return done;
}

}  // namespace

int WBaseSocket::Send(const char* data, int size, int length) {
    if (size < 0) return -1;
    if (length < 0) length = size;
    if (length > size) return -1;
    return TransferOnce(
        *imp_, false,
        [&](ssl_st* tls, int fd, int wakeFd, int limitMs, int& sent, std::string& why) {
            return tls != nullptr
                       ? tlsio::SendAll(tls, fd, wakeFd, data, length, limitMs, sent, why)
                       : socketio::SendAll(fd, wakeFd, data, length, limitMs, sent);
        });
}

int WBaseSocket::Send(const WBuffer& data, int length) {
    if (data.size() > static_cast<size_t>(INT_MAX)) return -1;
    return Send(data.data(), static_cast<int>(data.size()), length);
}

int WBaseSocket::Send(std::string_view text) {
    if (text.size() > static_cast<size_t>(INT_MAX)) return -1;
    return Send(text.data(), static_cast<int>(text.size()), -1);
}

int WBaseSocket::Receive(char* buffer, int bufferSize, int maxLength) {
    if (bufferSize < 0) return -1;
    if (maxLength < 0) maxLength = bufferSize;
    if (maxLength > bufferSize) return -1;
    return TransferOnce(
        *imp_, true,
        [&](ssl_st* tls, int fd, int wakeFd, int limitMs, int& received, std::string& why) {
            return tls != nullptr
                       ? tlsio::ReceiveOnce(tls, fd, wakeFd, buffer, maxLength, limitMs, received,
                                            why)
                       : socketio::ReceiveOnce(fd, wakeFd, buffer, maxLength, limitMs, received);
        });
}

int WBaseSocket::Receive(WBuffer& buffer, int maxLength) {
    int size =
        buffer.size() > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(buffer.size());
    return Receive(buffer.data(), size, maxLength);
}

int WBaseSocket::ReceiveToPipe(int pipeFd, int maxLength) {
    if (maxLength < 0) return -1;
    return TransferOnce(
        *imp_, true,
        [&](ssl_st* tls, int fd, int wakeFd, int limitMs, int& received, std::string&) {
            if (tls != nullptr) return EOPNOTSUPP;
            return socketio::SpliceOnce(fd, wakeFd, pipeFd, maxLength, limitMs, received);
        });
}

bool WBaseSocket::CarriesTls() const {
    std::lock_guard<std::mutex> lock(imp_->mutex);
    return imp_->tls != nullptr;
}

bool WBaseSocket::StartTls(const TlsOptions& options, const std::string& serverName) {
    std::unique_lock<std::mutex> lock(imp_->mutex);
    WSocketImp& imp = *imp_;
    if (imp.state != Connected || imp.handle < 0 || imp.tls != nullptr) return false;
    std::string why;
    imp.tls = tlsio::NewSession(options, serverName, imp.handle, why);
    if (imp.tls == nullptr) {
        imp.Fail(EPROTO);
        imp.tlsFailure = why;
        return false;
    }
    ssl_st* tls = imp.tls;
    Clock::time_point deadline = DeadlineAfter(std::min(imp.ConnectLimit(), imp.StallLimit()));
    InFlightCall call(imp);
    lock.unlock();

    int error = tlsio::Handshake(tls, call.fd, call.wakeFd, deadline, why);

    lock.lock();
    if (call.Finish(lock)) return false;
    if (error != 0) {
        imp.Fail(error);
        imp.tlsFailure = why;
        return false;
    }
    imp.tlsFailure.clear();
    return true;
}

std::string WBaseSocket::GetTlsFailure() const {
    std::lock_guard<std::mutex> lock(imp_->mutex);
    return imp_->tlsFailure;
}

bool WBaseSocket::ListenImpl() {
    std::lock_guard<std::mutex> lock(imp_->mutex);
    WSocketImp& imp = *imp_;
    if (imp.state != Idle) return false;
    if (imp.handle < 0) {
        imp.Fail(EBADF);
        return false;
    }
    sockaddr_in bound{};
    if (!ReadLocalAddress(imp, bound)) return false;
    // Not bound yet: take localAddress (any interface, the port from SetLocalPort).
    if (bound.sin_port == 0 && (!BindLocal(imp) || !ReadLocalAddress(imp, bound))) return false;
    imp.localAddress = bound;
    imp.state = Listening;
    if (::listen(imp.handle, 5) != 0) {
        imp.Fail(errno);
        return false;
    }
    return true;
}

void WBaseSocket::AcceptInto(WBaseSocket& target) {
    WSocketImp& peer = *target.imp_;
    {
        std::lock_guard<std::mutex> targetLock(peer.mutex);
        peer.state = Error;
    }
    std::unique_lock<std::mutex> lock(imp_->mutex);
    WSocketImp& imp = *imp_;
    if (imp.handle < 0) {
        imp.Fail(EBADF);
        return;
    }
    const int waitMs = imp.WaitLimit();
    if (waitMs == 0) {
        imp.Fail(ETIMEDOUT);
        return;
    }
    Clock::time_point deadline = DeadlineAfter(waitMs);
    InFlightCall call(imp);
    lock.unlock();

    sockaddr_in peerAddress{};
    int fd = -1;
    int error = socketio::AcceptOne(call.fd, call.wakeFd, peerAddress, deadline, fd);

    lock.lock();
    if (call.Finish(lock)) {
        if (fd >= 0) ::close(fd);
        return;
    }
    if (error != 0) {
        imp.Fail(error);
        return;
    }
    imp.state = Accepting;
    std::lock_guard<std::mutex> targetLock(peer.mutex);
    peer.handle = fd;
    peer.addressFamily = imp.addressFamily;
    peer.socketType = imp.socketType;
    peer.protocol = imp.protocol;
    peer.connectMs = imp.connectMs;
    peer.stallMs = imp.stallMs;
    peer.remoteAddress = peerAddress;
    imp.state = Listening;
    socklen_t length = sizeof peer.localAddress;
    if (!peer.EnsureWake()) {
        peer.Fail(errno);
        return;
    }
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&peer.localAddress), &length) != 0) {
        peer.Fail(errno);
        return;
    }
    peer.state = Connected;
}

bool WServerSocket::Listen() {
    return ListenImpl();
}

std::unique_ptr<WSocket> WServerSocket::Accept() {
    auto socket = std::make_unique<WSocket>();
    AcceptInto(*socket);
    return socket;
}
