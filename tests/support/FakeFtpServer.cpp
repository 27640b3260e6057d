#include "support/FakeFtpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace testsupport {

namespace {

constexpr int kSliceMs = 50;
constexpr int kIdleLimitMs = 20000;  // a silent client or a stuck peer ends the connection
constexpr int kDataWaitMs = 10000;

// Waits until fd is readable (or writable), in slices so that a stop request is seen.
bool WaitFor(int fd, short events, int limitMs, const std::atomic<bool>& stopping) {
    for (int waited = 0; waited < limitMs && !stopping.load(); waited += kSliceMs) {
        pollfd p{fd, events, 0};
        int r = ::poll(&p, 1, kSliceMs);
        if (r > 0) return true;
        if (r < 0 && errno != EINTR) return false;
    }
    return false;
}

int ListenOnLoopback(int& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ::close(fd);
        return -1;
    }
    port = ntohs(a.sin_port);
    return fd;
}

int ReplyCode(const std::string& reply) {
    return std::atoi(reply.c_str());
}

// The six numbers of a PORT argument; false unless all are 0..255.
bool ParseHostPort(const std::string& arg, std::string& host, int& port) {
    int v[6];
    char tail = 0;
    if (std::sscanf(arg.c_str(), "%d,%d,%d,%d,%d,%d%c", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5],
                    &tail) != 6) {
        return false;
    }
    for (int x : v) {
        if (x < 0 || x > 255) return false;
    }
    host = std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." +
           std::to_string(v[3]);
    port = v[4] * 256 + v[5];
    return port > 0;
}

}  // namespace

struct FakeFtpServer::Connection {
    int index = 0;
    int64_t offset = 0;       // applied by the next RETR
    int64_t pendingRest = 0;  // the argument of the REST being answered
    int pasvFd = -1;
    bool havePort = false;
    std::string portHost;
    int portPort = 0;
};

FakeFtpServer::FakeFtpServer(std::string content, std::string path)
    : content_(std::move(content)), path_(std::move(path)) {
    listenFd_ = ListenOnLoopback(port_);
    if (listenFd_ < 0) throw std::runtime_error("FakeFtpServer: cannot listen on 127.0.0.1");
    acceptThread_ = std::thread([this] { AcceptLoop(); });
}

FakeFtpServer::~FakeFtpServer() {
    stopping_ = true;
    if (acceptThread_.joinable()) acceptThread_.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        threads.swap(connectionThreads_);
    }
    for (auto& t : threads) t.join();
    ::close(listenFd_);
}

std::string FakeFtpServer::Url() const {
    return "ftp://127.0.0.1:" + std::to_string(port_) + path_;
}

void FakeFtpServer::SetGreeting(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    greeting_ = text;
}

void FakeFtpServer::SetReply(const std::string& verb, const std::string& reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (reply.empty()) {
        replies_.erase(verb);
    } else {
        replies_[verb] = reply;
    }
}

void FakeFtpServer::SetHook(ReplyHook hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    hook_ = std::move(hook);
}

void FakeFtpServer::SetWriteChunk(int bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    writeChunk_ = bytes;
}

void FakeFtpServer::HoldDataAfter(int64_t bytes, int transfers) {
    DropDataAfter(bytes, transfers);
    std::lock_guard<std::mutex> lock(mutex_);
    holdData_ = true;
}

void FakeFtpServer::DropDataAfter(int64_t bytes, int transfers) {
    std::lock_guard<std::mutex> lock(mutex_);
    dropAfter_ = bytes;
    dropTransfers_ = transfers;
}

void FakeFtpServer::SetNeverConnectData(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    neverConnectData_ = on;
}

void FakeFtpServer::SetIgnoreRest(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    ignoreRest_ = on;
}

int FakeFtpServer::ConnectionCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(transcripts_.size());
}

std::vector<std::string> FakeFtpServer::Commands(int connection) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (connection < 0 || connection >= static_cast<int>(transcripts_.size())) return {};
    return transcripts_[connection];
}

std::vector<std::vector<std::string>> FakeFtpServer::Transcripts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return transcripts_;
}

bool FakeFtpServer::WaitForCommand(const std::string& prefix, int ms) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
        for (const auto& t : transcripts_) {
            for (const auto& line : t) {
                if (line.rfind(prefix, 0) == 0) return true;
            }
        }
        return false;
    });
}

void FakeFtpServer::Record(int index, const std::string& line) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        transcripts_[index].push_back(line);
    }
    changed_.notify_all();
}

void FakeFtpServer::AcceptLoop() {
    constexpr int kMaxConnections = 500;
    for (int accepted = 0; accepted < kMaxConnections && !stopping_.load();) {
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, kSliceMs) <= 0) continue;
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        int index = static_cast<int>(transcripts_.size());
        transcripts_.emplace_back();
        connectionThreads_.emplace_back([this, fd, index] { Serve(fd, index); });
        ++accepted;
    }
}

bool FakeFtpServer::SendReply(int fd, const std::string& text) {
    int chunk = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        chunk = writeChunk_;
    }
    size_t step = chunk > 0 ? static_cast<size_t>(chunk) : text.size();
    for (size_t pos = 0; pos < text.size(); pos += step) {
        size_t n = std::min(step, text.size() - pos);
        if (::send(fd, text.data() + pos, n, MSG_NOSIGNAL) != static_cast<ssize_t>(n)) {
            return false;
        }
        // A pause between pieces so that the client reads them one by one.
        if (chunk > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::string FakeFtpServer::DefaultReply(Connection& c, const std::string& verb,
                                        const std::string& arg) {
    const std::string size = std::to_string(content_.size());
    if (verb == "USER") return "331 Please specify the password.\r\n";
    if (verb == "PASS") return "230 Login successful.\r\n";
    if (verb == "TYPE") return "200 Switching to Binary mode.\r\n";
    if (verb == "REST") {
        char* end = nullptr;
        long long v = std::strtoll(arg.c_str(), &end, 10);
        if (arg.empty() || *end != '\0' || v < 0) return "501 REST: invalid parameter.\r\n";
        c.pendingRest = v;
        return "350 Restart position accepted (" + arg + ").\r\n";
    }
    if (verb == "SIZE") {
        return arg == path_ ? "213 " + size + "\r\n" : "550 Could not get file size.\r\n";
    }
    if (verb == "MDTM") {
        return arg == path_ ? "213 20240101120000\r\n"
                            : "550 Could not get file modification time.\r\n";
    }
    if (verb == "STAT") {
        std::string reply = "213-Status follows:\r\n";
        if (arg == path_) {
            reply += "-rw-r--r--    1 ftp      ftp      " + size + " Jan 01 00:00 " +
                     path_.substr(path_.rfind('/') + 1) + "\r\n";
        }
        return reply + "213 End of status\r\n";
    }
    if (verb == "PASV") {
        if (c.pasvFd >= 0) ::close(c.pasvFd);
        int port = 0;
        c.pasvFd = ListenOnLoopback(port);
        if (c.pasvFd < 0) return "425 Cannot listen.\r\n";
        return "227 Entering Passive Mode (127,0,0,1," + std::to_string(port / 256) + "," +
               std::to_string(port % 256) + ").\r\n";
    }
    if (verb == "PORT") {
        c.havePort = ParseHostPort(arg, c.portHost, c.portPort);
        return c.havePort ? "200 PORT command successful. Consider using PASV.\r\n"
                          : "500 Illegal PORT command.\r\n";
    }
    if (verb == "RETR") {
        if (arg != path_) return "550 Failed to open file.\r\n";
        if (c.pasvFd < 0 && !c.havePort) return "425 Use PORT or PASV first.\r\n";
        return "150 Opening BINARY mode data connection for " + arg + " (" + size + " bytes).\r\n";
    }
    if (verb == "QUIT") return "221 Goodbye.\r\n";
    return "502 Command not implemented.\r\n";
}

bool FakeFtpServer::Transfer(Connection& c) {
    int dataFd = -1;
    if (c.pasvFd >= 0) {
        if (WaitFor(c.pasvFd, POLLIN, kDataWaitMs, stopping_)) {
            dataFd = ::accept4(c.pasvFd, nullptr, nullptr, SOCK_CLOEXEC);
        }
    } else if (c.havePort && c.portHost == "127.0.0.1") {  // never anywhere but loopback
        dataFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(c.portPort));
        if (dataFd >= 0 && ::connect(dataFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ::close(dataFd);
            dataFd = -1;
        }
    }
    if (dataFd < 0) return false;

    const int64_t total = static_cast<int64_t>(content_.size());
    const int64_t start = std::min(c.offset, total);
    int64_t limit = total - start;
    bool dropped = false;
    bool hold = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (dropTransfers_ > 0) {
            --dropTransfers_;
            if (dropAfter_ < limit) {
                limit = dropAfter_;
                dropped = true;
                hold = holdData_;
            }
        }
    }
    int64_t sent = 0;
    // The client closes the data connection as soon as its segment is in, so a failing send
    // here is the normal end of a segment that is not the last.
    while (sent < limit && WaitFor(dataFd, POLLOUT, kDataWaitMs, stopping_)) {
        size_t n = static_cast<size_t>(std::min<int64_t>(limit - sent, 64 * 1024));
        ssize_t r = ::send(dataFd, content_.data() + start + sent, n, MSG_NOSIGNAL);
        if (r <= 0) break;
        sent += r;
    }
    // Held until the client gives up on it: readable once it closes (bounded by the wait).
    if (hold) WaitFor(dataFd, POLLIN, 60000, stopping_);
    ::close(dataFd);
    return !dropped && sent == limit;
}

void FakeFtpServer::Serve(int fd, int index) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Connection c;
    c.index = index;
    std::string greeting;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        greeting = greeting_;
    }
    bool open = SendReply(fd, greeting);
    std::string input;
    while (open && !stopping_.load()) {
        size_t eol = input.find('\n');
        if (eol == std::string::npos) {
            if (input.size() > 8192 || !WaitFor(fd, POLLIN, kIdleLimitMs, stopping_)) break;
            char buffer[4096];
            ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            input.append(buffer, static_cast<size_t>(n));
            continue;
        }
        std::string line = input.substr(0, eol);
        input.erase(0, eol + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        Record(index, line);

        size_t space = line.find(' ');
        std::string verb = line.substr(0, space);
        std::string arg = space == std::string::npos ? "" : line.substr(space + 1);
        for (char& ch : verb) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));

        std::string reply = DefaultReply(c, verb, arg);
        ReplyHook hook;
        bool neverConnect = false;
        bool ignoreRest = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = replies_.find(verb);
            if (it != replies_.end()) reply = it->second;
            hook = hook_;
            neverConnect = neverConnectData_;
            ignoreRest = ignoreRest_;
        }
        if (hook) hook(index, verb, arg, reply);
        const int code = ReplyCode(reply);

        if (verb == "REST" && code < 400 && !ignoreRest) c.offset = c.pendingRest;
        if (verb == "PASV" && code >= 400 && c.pasvFd >= 0) {
            ::close(c.pasvFd);
            c.pasvFd = -1;
        }
        if (verb == "PORT" && code >= 400) c.havePort = false;
        open = SendReply(fd, reply);
        if (verb == "QUIT") break;
        if (verb == "RETR" && code < 400 && open) {
            if (!neverConnect) {
                bool ok = Transfer(c);
                open = SendReply(fd, ok ? "226 Transfer complete.\r\n"
                                        : "426 Failure writing network stream.\r\n");
            }
        }
        if (verb == "RETR") {
            // Like real servers: the offset and the data connection serve one transfer. A
            // data connection that is never accepted stays pending (no byte, no reset) until
            // the control connection ends.
            c.offset = 0;
            c.havePort = false;
            if (c.pasvFd >= 0 && !neverConnect) {
                ::close(c.pasvFd);
                c.pasvFd = -1;
            }
        }
    }
    if (c.pasvFd >= 0) ::close(c.pasvFd);
    ::close(fd);
}

}  // namespace testsupport
