#include "net/TlsIo.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "net/WSocket.h"

namespace tlsio {

namespace {

using CtxPtr = std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)>;

// The descriptor's own I/O under OpenSSL: send with MSG_NOSIGNAL, so a peer that went away
// gives EPIPE instead of a SIGPIPE that would end the process.
int BioWrite(BIO* bio, const char* data, int length) {
    BIO_clear_retry_flags(bio);
    int fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
    ssize_t n = ::send(fd, data, static_cast<size_t>(length), MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        BIO_set_retry_write(bio);
    }
    return static_cast<int>(n);
}

int BioRead(BIO* bio, char* buffer, int length) {
    BIO_clear_retry_flags(bio);
    int fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
    ssize_t n = ::recv(fd, buffer, static_cast<size_t>(length), 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        BIO_set_retry_read(bio);
    }
    return static_cast<int>(n);
}

long BioCtrl(BIO*, int command, long, void*) {
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

BIO_METHOD* SocketBioMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "brindle socket");
        if (m != nullptr) {
            BIO_meth_set_write(m, BioWrite);
            BIO_meth_set_read(m, BioRead);
            BIO_meth_set_ctrl(m, BioCtrl);
        }
        return m;
    }();
    return method;
}

// One context per distinct options, made on first use and kept for the process.
SSL_CTX* ContextFor(const TlsOptions& options, std::string& why) {
    static std::mutex lock;
    static std::map<std::pair<std::string, bool>, CtxPtr> contexts;
    std::lock_guard<std::mutex> guard(lock);
    auto key = std::make_pair(options.caFile, options.insecure);
    auto found = contexts.find(key);
    if (found != contexts.end()) return found->second.get();

    CtxPtr ctx(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
    if (!ctx) {
        why = "cannot set up TLS";
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    // A server that closes without a close_notify reads as a close, as over plain TCP: every
    // body is read to its known length, so a short one is caught there.
    SSL_CTX_set_options(ctx.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
    if (options.insecure) {
        SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
    } else {
        SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
        const bool loaded =
            options.caFile.empty()
                ? SSL_CTX_set_default_verify_paths(ctx.get()) == 1
                : SSL_CTX_load_verify_locations(ctx.get(), options.caFile.c_str(), nullptr) == 1;
        if (!loaded) {
            ERR_clear_error();
            why = options.caFile.empty() ? "cannot load the system's CA certificates"
                                         : "cannot load CA certificates from " + options.caFile;
            return nullptr;
        }
    }
    SSL_CTX* raw = ctx.get();
    contexts.emplace(std::move(key), std::move(ctx));
    return raw;
}

// The reason for the last failed call, from OpenSSL's queue or the certificate check.
std::string FailureText(SSL* ssl) {
    long verdict = SSL_get_verify_result(ssl);
    if (verdict != X509_V_OK) return X509_verify_cert_error_string(verdict);
    unsigned long code = ERR_peek_last_error();
    const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
    ERR_clear_error();
    return reason != nullptr ? reason : "TLS protocol error";
}

// What one SSL call's result asks for: 0 done, a positive poll event to wait for, or a
// negative error code (EPROTO with `why`, or the OS error).
int Classify(SSL* ssl, int rc, std::string& why, bool& closed) {
    switch (SSL_get_error(ssl, rc)) {
        case SSL_ERROR_NONE:
            return 0;
        case SSL_ERROR_WANT_READ:
            return POLLIN;
        case SSL_ERROR_WANT_WRITE:
            return POLLOUT;
        case SSL_ERROR_ZERO_RETURN:
            closed = true;
            return 0;
        case SSL_ERROR_SYSCALL: {
            int error = errno != 0 ? errno : ECONNRESET;
            ERR_clear_error();
            return -error;
        }
        default:
            why = FailureText(ssl);
            return -EPROTO;
    }
}

}  // namespace

ssl_st* NewSession(const TlsOptions& options, const std::string& serverName, int fd,
                   std::string& why) {
    SSL_CTX* ctx = ContextFor(options, why);
    if (ctx == nullptr) return nullptr;
    BIO_METHOD* method = SocketBioMethod();
    SSL* ssl = SSL_new(ctx);
    BIO* bio = method != nullptr ? BIO_new(method) : nullptr;
    if (ssl == nullptr || bio == nullptr) {
        BIO_free(bio);
        SSL_free(ssl);
        why = "cannot set up TLS";
        return nullptr;
    }
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
    BIO_set_init(bio, 1);
    SSL_set_bio(ssl, bio, bio);
    in6_addr address{};
    const bool literal = ::inet_pton(AF_INET, serverName.c_str(), &address) == 1 ||
                         ::inet_pton(AF_INET6, serverName.c_str(), &address) == 1;
    // No SNI for an address literal; the certificate must then name the address itself.
    if (!literal) SSL_set_tlsext_host_name(ssl, serverName.c_str());
    if (!options.insecure) {
        X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        const int set = literal ? X509_VERIFY_PARAM_set1_ip_asc(param, serverName.c_str())
                                : X509_VERIFY_PARAM_set1_host(param, serverName.c_str(), 0);
        if (set != 1) {
            SSL_free(ssl);
            why = "cannot check the name " + serverName;
            return nullptr;
        }
    }
    SSL_set_connect_state(ssl);
    return ssl;
}

void FreeSession(ssl_st* session) {
    SSL_free(session);
}

int Handshake(ssl_st* ssl, int fd, int wakeFd, Clock::time_point deadline, std::string& why) {
    for (;;) {
        ERR_clear_error();
        errno = 0;
        bool closed = false;
        int next = Classify(ssl, SSL_do_handshake(ssl), why, closed);
        if (closed) {
            why = "the server closed the connection during the handshake";
            return EPROTO;
        }
        if (next <= 0) return -next;
        int error = socketio::WaitReady(fd, wakeFd, static_cast<short>(next), deadline);
        if (error != 0) return error;
    }
}

int SendAll(ssl_st* ssl, int fd, int wakeFd, const char* data, int length, int stallMs, int& sent,
            std::string& why) {
    sent = 0;
    Clock::time_point deadline = socketio::DeadlineAfter(stallMs);
    while (sent < length) {
        ERR_clear_error();
        errno = 0;
        int n = SSL_write(ssl, data + sent, length - sent);
        if (n > 0) {
            sent += n;
            deadline = socketio::DeadlineAfter(stallMs);
            continue;
        }
        bool closed = false;
        int next = Classify(ssl, n, why, closed);
        if (closed) return EPIPE;
        if (next < 0) return -next;
        if (next == 0) continue;
        int error = socketio::WaitReady(fd, wakeFd, static_cast<short>(next), deadline);
        if (error != 0) return error;
    }
    return 0;
}

int ReceiveOnce(ssl_st* ssl, int fd, int wakeFd, char* buffer, int maxLength, int stallMs,
                int& received, std::string& why) {
    received = 0;
    if (maxLength == 0) return 0;
    bool waited = false;
    Clock::time_point deadline;
    for (;;) {
        ERR_clear_error();
        errno = 0;
        int n = SSL_read(ssl, buffer, maxLength);
        if (n > 0) {
            received = n;
            return 0;
        }
        bool closed = false;
        int next = Classify(ssl, n, why, closed);
        if (closed) {
            received = 0;
            return 0;
        }
        if (next < 0) return -next;
        if (next == 0) continue;
        if (!waited) {
            deadline = socketio::DeadlineAfter(stallMs);
            waited = true;
        }
        int error = socketio::WaitReady(fd, wakeFd, static_cast<short>(next), deadline);
        if (error != 0) return error;
    }
}

}  // namespace tlsio
