// The rate limiter's bucket arithmetic at explicit times (no waiting).
#include <gtest/gtest.h>

#include <vector>

#include "job/RateLimiter.h"

namespace {

TEST(RateLimiter, DebitWaits) {
    struct Step {
        int atMs;
        int64_t bytes;
        double waitMs;
    };
    struct Case {
        const char* name;
        int64_t rate;
        std::vector<Step> steps;
    } cases[] = {
        // 100000 B/s: the bucket holds a quarter second, 25000 bytes.
        {"full bucket pays at once", 100000, {{0, 25000, 0}}},
        {"debt waits at the rate", 100000, {{0, 35000, 100}}},
        {"time pays the debt off", 100000, {{0, 35000, 100}, {50, 0, 50}, {100, 0, 0}}},
        {"idle time refills at most the bucket", 100000, {{0, 25000, 0}, {10000, 35000, 100}}},
        {"slow rate keeps 16 KiB", 1000, {{0, 16384, 0}, {0, 1000, 1000}}},
        {"rate 0 counts as 1 B/s", 0, {{0, 16385, 1000}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RateLimiter limiter(c.rate);
        // A start after the limiter's own clock reading, so every step is at a known time.
        const RateLimiter::Clock::time_point start =
            RateLimiter::Clock::now() + std::chrono::seconds(1);
        ASSERT_EQ(limiter.Debit(0, start), RateLimiter::Clock::duration::zero());
        for (const Step& s : c.steps) {
            const auto wait = limiter.Debit(s.bytes, start + std::chrono::milliseconds(s.atMs));
            const double waitMs = std::chrono::duration<double, std::milli>(wait).count();
            EXPECT_NEAR(waitMs, s.waitMs, 0.01) << "at " << s.atMs << " ms";
        }
    }
}

}  // namespace
