#include "job/ProgressTexts.h"

#include <cinttypes>
#include <cstdio>

namespace {

// part * scale / whole, truncated toward zero. Exact integer arithmetic: the floating-point
// form shows 29 of 100 as 28%, because 0.29 * 100 is a hair below 29.
int64_t ScaledRatio(int64_t part, int64_t scale, int64_t whole) {
    if (part >= 0 && part <= INT64_MAX / scale) return part * scale / whole;
    // Beyond 9 exabytes / scale: precision no longer matters, range does.
    const long double value = static_cast<long double>(part) * scale / whole;
    if (value >= 9.2e18L) return INT64_MAX;
    if (value <= -9.2e18L) return INT64_MIN;
    return static_cast<int64_t>(value);
}

}  // namespace

int ThreadBarPosition(int64_t done, int64_t total) {
    if (total <= 0) return 100;
    const int64_t position = ScaledRatio(done, 100, total);
    if (position < 0) return 0;
    if (position > 100) return 100;
    return static_cast<int>(position);
}

std::string ThreadBarTooltip(int64_t done, int64_t total) {
    char text[64];
    std::snprintf(text, sizeof text, "%" PRId64 " b of %" PRId64, done, total);
    return text;
}

int64_t ElapsedMs(int64_t startTick, int64_t now) {
    if (startTick == 0) return 1000;
    const int64_t elapsed = now - startTick;
    return elapsed < 1 ? 1 : elapsed;
}

uint16_t JobPercent(int64_t receivedTotal, int64_t fileSize) {
    if (fileSize <= 0) return 0;
    const int64_t percent = ScaledRatio(receivedTotal, 100, fileSize);
    // Stored as a 16-bit unsigned value, as the bar's text has always shown it.
    return static_cast<uint16_t>(static_cast<uint64_t>(percent) & 0xFFFFu);
}

int64_t JobSpeed(int64_t receivedTotal, int64_t elapsedMs) {
    if (elapsedMs < 1) elapsedMs = 1;
    return ScaledRatio(receivedTotal, 1000, elapsedMs);
}

int JobBarPosition(unsigned percent) {
    return percent > 100 ? 100 : static_cast<int>(percent);
}

std::string JobProgressText(int64_t receivedTotal, int64_t fileSize, unsigned percent,
                            int64_t speed) {
    char text[128];
    std::snprintf(text, sizeof text, "%" PRId64 " b of %" PRId64 " (%u%%) at %" PRId64 " bps",
                  receivedTotal, fileSize, percent, speed);
    return text;
}

std::string VerdictText(bool succeeded, const std::string& currentText) {
    if (!succeeded) return kJobFailedText;
    std::string text = kJobSucceededText;
    const size_t at = currentText.find("at");
    if (at != std::string::npos) text += currentText.substr(at);
    return text;
}
