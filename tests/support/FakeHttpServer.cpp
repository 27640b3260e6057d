#include "support/FakeHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>

namespace testsupport {

namespace {

constexpr int kSliceMs = 50;
constexpr int kReadLimitMs = 10000;  // a request must arrive within this
constexpr int kHoldLimitMs = 30000;  // a stalled answer never lasts longer
constexpr size_t kMaxRequestBytes = 64 * 1024;
constexpr size_t kMaxConnections = 512;
constexpr size_t kEndlessHeaderBytes = 1024 * 1024;

std::string Reason(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 206:
            return "Partial Content";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 307:
            return "Temporary Redirect";
        case 404:
            return "Not Found";
        default:
            return "Status";
    }
}

std::string FieldValue(const std::string& block, const std::string& name) {
    std::string lowerBlock = block;
    std::string lowerName = "\n" + name + ":";
    for (char& c : lowerBlock) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (char& c : lowerName) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    size_t pos = lowerBlock.find(lowerName);
    if (pos == std::string::npos) return "";
    pos += lowerName.size();
    size_t end = block.find("\r\n", pos);
    std::string value = block.substr(pos, end - pos);
    while (!value.empty() && value.front() == ' ') value.erase(0, 1);
    return value;
}

}  // namespace

std::string PatternBytes(size_t size, uint32_t seed) {
    std::string bytes(size, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bytes[i] = static_cast<char>(state >> 24);
    }
    return bytes;
}

std::string ChunkedBody(const std::string& body, bool complete) {
    std::string out;
    char size[32];
    for (size_t at = 0; at < body.size(); at += 1000) {
        const std::string piece = body.substr(at, 1000);
        std::snprintf(size, sizeof size, "%zx%s\r\n", piece.size(), at == 0 ? ";x=1" : "");
        out += size + piece + "\r\n";
    }
    return complete ? out + "0\r\nX-Trailer: 1\r\n\r\n" : out;
}

FakeHttpServer::FakeHttpServer(FakeHttpOptions options_) : options(std::move(options_)) {
    listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::listen(listenFd, 64) == 0 &&
        ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    acceptThread = std::thread([this] { AcceptLoop(); });
}

FakeHttpServer::~FakeHttpServer() {
    stopping = true;
    acceptThread.join();
    {
        // Wakes handlers blocked in a send; they close their own descriptors.
        std::lock_guard<std::mutex> guard(lock);
        for (Connection& c : connections) {
            if (c.open) ::shutdown(c.fd, SHUT_RDWR);
        }
    }
    for (Connection& c : connections) c.thread.join();
    ::close(listenFd);
}

std::string FakeHttpServer::Url(const std::string& pathAndQuery) const {
    return "http://127.0.0.1:" + std::to_string(port) + pathAndQuery;
}

std::vector<FakeHttpRequest> FakeHttpServer::Requests() const {
    std::lock_guard<std::mutex> guard(lock);
    return requests;
}

std::vector<FakeHttpRequest> FakeHttpServer::Requests(const std::string& method) const {
    std::vector<FakeHttpRequest> out;
    for (const FakeHttpRequest& r : Requests()) {
        if (r.method == method) out.push_back(r);
    }
    return out;
}

int FakeHttpServer::ConnectionCount() const {
    std::lock_guard<std::mutex> guard(lock);
    return static_cast<int>(connections.size());
}

bool FakeHttpServer::WaitForRequests(size_t count, int ms) const {
    std::unique_lock<std::mutex> guard(lock);
    return requestArrived.wait_for(guard, std::chrono::milliseconds(ms),
                                   [&] { return requests.size() >= count; });
}

void FakeHttpServer::AcceptLoop() {
    while (!stopping) {
        pollfd p{listenFd, POLLIN, 0};
        if (::poll(&p, 1, kSliceMs) <= 0) continue;
        int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard<std::mutex> guard(lock);
        if (connections.size() >= kMaxConnections) {
            ::close(fd);
            continue;
        }
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        timeval sendLimit{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
        connections.emplace_back();
        Connection* c = &connections.back();
        c->fd = fd;
        c->thread = std::thread([this, c] { Serve(c); });
    }
}

void FakeHttpServer::Serve(Connection* connection) {
    FakeHttpRequest request;
    if (ReadRequest(connection->fd, request)) {
        int getIndex = -1;
        {
            std::lock_guard<std::mutex> guard(lock);
            requests.push_back(request);
            if (request.method == "GET") getIndex = getCount++;
        }
        requestArrived.notify_all();
        Answer(connection->fd, request, getIndex);
    }
    std::lock_guard<std::mutex> guard(lock);
    ::close(connection->fd);
    connection->open = false;
}

bool FakeHttpServer::ReadRequest(int fd, FakeHttpRequest& request) {
    std::string block;
    char chunk[1024];
    for (int waited = 0; waited < kReadLimitMs && !stopping;) {
        pollfd p{fd, POLLIN, 0};
        int ready = ::poll(&p, 1, kSliceMs);
        if (ready == 0) {
            waited += kSliceMs;
            continue;
        }
        ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) return false;
        block.append(chunk, static_cast<size_t>(n));
        size_t end = block.find("\r\n\r\n");
        if (end != std::string::npos) {
            request.text = block.substr(0, end + 4);
            size_t space = block.find(' ');
            size_t space2 = block.find(' ', space + 1);
            request.method = block.substr(0, space);
            request.target = block.substr(space + 1, space2 - space - 1);
            request.range = FieldValue(request.text, "Range");
            return true;
        }
        if (block.size() > kMaxRequestBytes) return false;
    }
    return false;
}

bool FakeHttpServer::SendAll(int fd, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size() && !stopping) {
        ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return sent == data.size();
}

void FakeHttpServer::PauseBriefly() {
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
}

void FakeHttpServer::HoldOpen(int fd) {
    // Until the client gives up (reads 0) or the test ends.
    char sink[1024];
    for (int waited = 0; waited < kHoldLimitMs && !stopping; waited += kSliceMs) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, kSliceMs) > 0 && ::recv(fd, sink, sizeof sink, 0) <= 0) return;
    }
}

void FakeHttpServer::Answer(int fd, const FakeHttpRequest& request, int getIndex) {
    const std::string& body = options.body;
    const int64_t size = static_cast<int64_t>(body.size());

    if (options.endlessHeader) {
        std::string line = "X-Filler: " + std::string(1000, 'a') + "\r\n";
        bool ok = SendAll(fd, options.version + " 200 OK\r\n");
        for (size_t sent = 0; ok && sent < kEndlessHeaderBytes; sent += line.size()) {
            ok = SendAll(fd, line);
        }
        return;
    }

    int status = 200;
    std::string content;  // the bytes after the header
    std::string fields;
    int64_t contentLength = size;
    const bool scripted =
        options.scriptedTarget.empty() || request.target == options.scriptedTarget;
    const int getStatus = scripted ? options.getStatus : 0;
    if (request.method == "HEAD" || getStatus != 0) {
        status = request.method == "HEAD" ? (scripted ? options.headStatus : 200) : getStatus;
    }
    if (status != 200 || getStatus != 0) {
        // A page of its own, whose length is not the file's.
        const std::string page = "<html><body>" + Reason(status) + "</body></html>\n";
        if (request.method != "HEAD") content = page;
        contentLength = static_cast<int64_t>(page.size());
        if (status >= 300 && status < 400) fields += "Location: " + options.location + "\r\n";
    } else if (request.method != "HEAD") {
        long long first = 0, last = size - 1;
        // "bytes=N-" runs to the end of the file.
        if (!request.range.empty() && !options.ignoreRanges &&
            std::sscanf(request.range.c_str(), "bytes=%lld-%lld", &first, &last) >= 1 &&
            first <= last && first < size) {
            last = std::min<long long>(last, size - 1);
            first += options.contentRangeShift;
            last += options.contentRangeShift;
            first = std::clamp<long long>(first, 0, size - 1);
            last = std::clamp<long long>(last, first, size - 1);
            status = 206;
            fields += "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) +
                      "/" + std::to_string(size) + "\r\n";
            contentLength = last - first + 1;
            int64_t sendLast = std::min<int64_t>(last + options.overrunBytes, size - 1);
            const int64_t from = options.ignoreOffsets ? 0 : first;
            content =
                body.substr(static_cast<size_t>(from), static_cast<size_t>(sendLast - first + 1));
        } else {
            content = body;
        }
    }

    std::string header = options.version + " " + std::to_string(status) + " " + Reason(status) +
                         "\r\nServer: FakeHttpServer\r\n";
    if (!options.omitContentLength) {
        header += "Content-Length: " +
                  (options.contentLengthText.empty() ? std::to_string(contentLength)
                                                     : options.contentLengthText) +
                  "\r\n";
    }
    switch (options.acceptRanges) {
        case FakeHttpOptions::AcceptRanges::Bytes:
            header += "Accept-Ranges: bytes\r\n";
            break;
        case FakeHttpOptions::AcceptRanges::None:
            header += "Accept-Ranges: none\r\n";
            break;
        case FakeHttpOptions::AcceptRanges::NoneCapitalised:
            header += "Accept-Ranges: None\r\n";
            break;
        case FakeHttpOptions::AcceptRanges::Absent:
            break;
    }
    header += options.extraHeaders + fields + "Connection: close\r\n\r\n";

    // How much of the content this answer delivers before it drops or stalls.
    int64_t limit = static_cast<int64_t>(content.size());
    bool drop = getIndex >= 0 && getIndex < options.dropConnections && options.dropAfter >= 0;
    bool stall = getIndex >= 0 && getIndex < options.stallConnections && options.stallAfter >= 0;
    if (drop) limit = std::min(limit, options.dropAfter);
    if (stall) limit = std::min(limit, options.stallAfter);
    std::string delivered = content.substr(0, static_cast<size_t>(limit));

    bool ok;
    if (options.rewrite || options.trickleMs > 0) {
        const std::string answer =
            options.rewrite ? options.rewrite(request, header + delivered) : header + delivered;
        if (options.trickleMs > 0) {
            ok = true;
            for (size_t at = 0; ok && at < answer.size() && !stopping; ++at) {
                ok = SendAll(fd, answer.substr(at, 1));
                std::this_thread::sleep_for(std::chrono::milliseconds(options.trickleMs));
            }
        } else {
            ok = SendAll(fd, answer);
        }
    } else if (options.splitTerminator >= 1 && options.splitTerminator <= 3) {
        size_t firstPart = header.size() - 4 + static_cast<size_t>(options.splitTerminator);
        ok = SendAll(fd, header.substr(0, firstPart));
        PauseBriefly();
        ok = ok && SendAll(fd, header.substr(firstPart) + delivered);
    } else if (options.oneWrite) {
        ok = SendAll(fd, header + delivered);
    } else {
        ok = SendAll(fd, header);
        for (size_t at = 0; ok && at < delivered.size(); at += 16384) {
            ok = SendAll(fd, delivered.substr(at, 16384));
        }
    }
    if (ok && stall) HoldOpen(fd);
}

}  // namespace testsupport
