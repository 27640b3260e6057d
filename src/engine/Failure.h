#pragma once
// Failure: why an attempt of a worker failed, as a value that travels from where it happened
// (a status line, a lookup, a connect, a TLS handshake, a part file) through ThreadFinished to
// the front ends, which say it in words and pick brindle-get's exit status from its kind.
// A plain value; any thread.
#include <string>

struct Failure {
    enum class Kind {
        None,
        Refused,    // the server said no: HTTP 4xx, FTP 5xx on login or RETR
        Network,    // lookup, connect, time-out, reset, a connection closed early
        Tls,        // handshake or certificate
        LocalFile,  // a part file or the target cannot be opened or written
        Server,     // HTTP 5xx, FTP 4xx, replies that make no sense
        Other,
    };
    Kind kind = Kind::None;
    std::string text;
    // No retry can mend it: the job's threads stop their attempts.
    bool permanent = false;
    // Retry-After of a 429 or 503 answer (seconds form), -1 when none.
    int retryAfterSeconds = -1;

    bool Known() const { return kind != Kind::None; }
};

// The failure an HTTP answer of status >= 400 stands for: 4xx are the server's refusal and
// permanent, but 408 and 429, which ask for a later try; 5xx are transient. statusLine names
// it; retryAfterField is the Retry-After value ("" when absent).
Failure HttpStatusFailure(int status, const std::string& statusLine,
                          const std::string& retryAfterField);

// The pause before the next attempt: the worker's own, or the server's Retry-After (at most
// kMaxRetryAfterMs) when that is longer.
int RetryPauseMs(int pauseMs, const Failure& failure);
inline constexpr int kMaxRetryAfterMs = 60000;
