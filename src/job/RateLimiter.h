#pragma once
// A token bucket shared by the workers of one job, so that their bytes together stay within
// one rate (brindle-get --limit-rate). Workers call Take after each read, on their own
// threads; the owner thread calls Cancel when the job stops, which ends every wait at once.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

class RateLimiter {
public:
    using Clock = std::chrono::steady_clock;

    // bytesPerSecond > 0. The bucket holds at most a quarter second's worth (and at least
    // 16 KiB), so an idle moment does not allow a long burst afterwards.
    explicit RateLimiter(int64_t bytesPerSecond);
    // Counts bytes already received and waits until the job is back within the rate.
    void Take(int64_t bytes);
    // The bucket's size in bytes.
    int64_t Capacity() const { return static_cast<int64_t>(capacity); }
    // Ends every wait now and makes later calls return at once.
    void Cancel();
    // How long a Take of `bytes` at `now` must wait for the bucket to be out of debt (the
    // pure part, for tests; lock held).
    Clock::duration Debit(int64_t bytes, Clock::time_point now);

private:
    const double rate;  // bytes per second
    const double capacity;
    double tokens;
    Clock::time_point last;
    bool cancelled = false;
    std::mutex lock;
    std::condition_variable wake;
};
