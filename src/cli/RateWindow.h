#pragma once
// The rates of brindle-get's live display, from the samples it takes once a frame: the
// current rate over the last few seconds and the average since the data began. Fed the
// bytes this run fetched (JobView::fetchedTotal), never what the part files held before, so a
// resumed job does not start at a huge rate. Pure: the caller gives the times.
#include <cstdint>
#include <deque>

class RateWindow {
public:
    // Rates are told once the samples span at least this long.
    static constexpr int64_t kMinSpanMs = 500;

    explicit RateWindow(int64_t spanMs = 5000) : spanMs(spanMs) {}
    // A sample: `bytes` counted by nowMs (a steady clock; not going back). The first sample
    // is the baseline: only growth after it counts. A count that goes down starts over.
    void Add(int64_t nowMs, int64_t bytes);
    // Bytes per second over the last span; -1 while it cannot be told.
    double Current() const;
    // Bytes per second since the last sample before the bytes began to grow; -1 while it
    // cannot be told.
    double Average() const;

private:
    struct Sample {
        int64_t ms;
        int64_t bytes;
    };
    static double Rate(const Sample& from, const Sample& to);

    int64_t spanMs;
    // From the newest sample at or before (newest - spanMs) on; one sample until growth.
    std::deque<Sample> samples;
    Sample origin{0, 0};
    bool growing = false;
};

// Whole seconds (rounded up) to fetch `remaining` bytes at this rate; -1 when it cannot be
// told (size unknown, negative remaining, no rate or a rate of 0).
int64_t EtaSeconds(int64_t remaining, double bytesPerSecond);
