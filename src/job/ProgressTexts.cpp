#include "job/ProgressTexts.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string_view>

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

// Builds a progress text from pieces without a printf engine, stored without a new allocation
// once the target string has grown: reports come once per received chunk.
class ProgressTextBuilder {
public:
    ProgressTextBuilder& operator<<(std::string_view piece) {
        const size_t n = std::min(piece.size(), sizeof text - length);
        std::memcpy(text + length, piece.data(), n);
        length += n;
        return *this;
    }
    ProgressTextBuilder& operator<<(int64_t value) { return Number(value); }
    ProgressTextBuilder& operator<<(unsigned value) { return Number(value); }
    void StoreIn(std::string& target) const { target.assign(text, length); }

private:
    template <typename T>
    ProgressTextBuilder& Number(T value) {
        length =
            static_cast<size_t>(std::to_chars(text + length, text + sizeof text, value).ptr - text);
        return *this;
    }
    // Three 20-character numbers, a 5-digit percentage and the words: well under this.
    char text[128];
    size_t length = 0;
};

}  // namespace

int ThreadBarPosition(int64_t done, int64_t total) {
    if (total < 0) return 0;  // a body whose size comes only with its end
    if (total == 0) return 100;
    const int64_t position = ScaledRatio(done, 100, total);
    if (position < 0) return 0;
    if (position > 100) return 100;
    return static_cast<int>(position);
}

void ThreadBarTooltip(int64_t done, int64_t total, std::string& text) {
    (ProgressTextBuilder() << done << " b of " << total).StoreIn(text);
}

std::string ThreadBarTooltip(int64_t done, int64_t total) {
    std::string text;
    ThreadBarTooltip(done, total, text);
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

void JobProgressText(int64_t receivedTotal, int64_t fileSize, unsigned percent, int64_t speed,
                     std::string& text) {
    (ProgressTextBuilder() << receivedTotal << " b of " << fileSize << " (" << percent << "%) at "
                           << speed << " bps")
        .StoreIn(text);
}

std::string JobProgressText(int64_t receivedTotal, int64_t fileSize, unsigned percent,
                            int64_t speed) {
    std::string text;
    JobProgressText(receivedTotal, fileSize, percent, speed, text);
    return text;
}

std::string VerdictText(bool succeeded, const std::string& currentText) {
    if (!succeeded) return kJobFailedText;
    std::string text = kJobSucceededText;
    const size_t at = currentText.find("at");
    if (at != std::string::npos) text += currentText.substr(at);
    return text;
}
