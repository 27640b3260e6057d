#include "job/RateLimiter.h"

#include <algorithm>

RateLimiter::RateLimiter(int64_t bytesPerSecond)
    : rate(static_cast<double>(std::max<int64_t>(bytesPerSecond, 1))),
      capacity(std::max(rate / 4, 16384.0)),
      tokens(capacity),
      last(Clock::now()) {}

RateLimiter::Clock::duration RateLimiter::Debit(int64_t bytes, Clock::time_point now) {
    const double elapsed = std::chrono::duration<double>(now - last).count();
    if (elapsed > 0) {
        tokens = std::min(capacity, tokens + elapsed * rate);
        last = now;
    }
    // The bucket may go below 0: whoever takes next waits for all that is owed.
    tokens -= static_cast<double>(bytes);
    if (tokens >= 0) return Clock::duration::zero();
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(-tokens / rate));
}

void RateLimiter::Take(int64_t bytes) {
    if (bytes <= 0) return;
    std::unique_lock<std::mutex> guard(lock);
    if (cancelled) return;
    const Clock::time_point now = Clock::now();
    const Clock::time_point until = now + Debit(bytes, now);
    wake.wait_until(guard, until, [this] { return cancelled; });
}

void RateLimiter::Cancel() {
    {
        std::lock_guard<std::mutex> guard(lock);
        cancelled = true;
    }
    wake.notify_all();
}
