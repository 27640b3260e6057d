#include "cli/RateWindow.h"

#include <cmath>

void RateWindow::Add(int64_t nowMs, int64_t bytes) {
    if (!samples.empty() && (bytes < samples.back().bytes || nowMs < samples.back().ms)) {
        samples.clear();
        growing = false;
    }
    if (!growing) {
        // Time spent before any byte arrived (connecting, a resumed part announced) is left
        // out of both rates: the baseline moves with it.
        if (samples.empty() || bytes == samples.back().bytes) {
            samples.assign(1, Sample{nowMs, bytes});
            origin = samples.front();
            return;
        }
        growing = true;
    }
    samples.push_back(Sample{nowMs, bytes});
    while (samples.size() >= 2 && samples[1].ms <= nowMs - spanMs) samples.pop_front();
}

double RateWindow::Rate(const Sample& from, const Sample& to) {
    const int64_t ms = to.ms - from.ms;
    if (ms < kMinSpanMs) return -1;
    return static_cast<double>(to.bytes - from.bytes) * 1000.0 / static_cast<double>(ms);
}

double RateWindow::Current() const {
    if (!growing) return -1;
    return Rate(samples.front(), samples.back());
}

double RateWindow::Average() const {
    if (!growing) return -1;
    return Rate(origin, samples.back());
}

int64_t EtaSeconds(int64_t remaining, double bytesPerSecond) {
    if (remaining < 0 || !(bytesPerSecond > 0) || !std::isfinite(bytesPerSecond)) return -1;
    const double seconds = std::ceil(static_cast<double>(remaining) / bytesPerSecond);
    // Beyond what a duration shows anyway; keeps the conversion defined.
    if (seconds > 1e12) return -1;
    return static_cast<int64_t>(seconds);
}
