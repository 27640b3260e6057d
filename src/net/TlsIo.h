#pragma once
// TLS over the sockets' non-blocking descriptors: client contexts (the system's trust store, a
// CA file of the user's, or no verification) and the handshake, send and receive. Every wait
// is the same poll on the descriptor and the socket's wake descriptor as in the plain calls,
// so a Close from another thread cancels them alike and the time limits hold.
// Contexts are shared by all threads; one session object belongs to its socket's owner thread.
#include <string>

#include "net/SocketIo.h"

struct ssl_st;
struct TlsOptions;

namespace tlsio {

using socketio::Clock;

// A session for a connection on fd whose server should be serverName (a host name, sent as
// SNI, or an IPv4 address), checked against its certificate unless options.insecure. Null,
// with the reason in `why`, when the context cannot be made (a CA file that does not load).
ssl_st* NewSession(const TlsOptions& options, const std::string& serverName, int fd,
                   std::string& why);
void FreeSession(ssl_st* session);

// Like the socketio calls: 0, or ETIMEDOUT, ECANCELED, the OS error, or EPROTO for a TLS
// failure with its reason in `why` (the certificate check's verdict for a refused server).
int Handshake(ssl_st* session, int fd, int wakeFd, Clock::time_point deadline, std::string& why);
int SendAll(ssl_st* session, int fd, int wakeFd, const char* data, int length, int stallMs,
            int& sent, std::string& why);
// One read of decrypted bytes; `received` 0 when the peer closed (with or without notice).
int ReceiveOnce(ssl_st* session, int fd, int wakeFd, char* buffer, int maxLength, int stallMs,
                int& received, std::string& why);

}  // namespace tlsio
