#include "engine/Failure.h"

#include <algorithm>

Failure HttpStatusFailure(int status, const std::string& statusLine,
                          const std::string& retryAfterField) {
    Failure failure;
    failure.text = statusLine;
    const bool refused = status >= 400 && status <= 499;
    failure.kind = refused ? Failure::Kind::Refused : Failure::Kind::Server;
    failure.permanent = refused && status != 408 && status != 429;
    if (status == 429 || status == 503) {
        // Only the seconds form: a date would need the server's clock to agree with ours.
        int seconds = 0;
        size_t digits = 0;
        for (char c : retryAfterField) {
            if (c < '0' || c > '9' || ++digits > 6) {
                digits = 0;
                break;
            }
            seconds = seconds * 10 + (c - '0');
        }
        if (digits > 0) failure.retryAfterSeconds = seconds;
    }
    return failure;
}

int RetryPauseMs(int pauseMs, const Failure& failure) {
    if (failure.retryAfterSeconds < 0) return pauseMs;
    const int asked = std::min(failure.retryAfterSeconds, kMaxRetryAfterMs / 1000) * 1000;
    return std::max(pauseMs, asked);
}
