#include "cli/HumanUnits.h"

#include <cmath>
#include <cstdio>
#include <iterator>

std::string FormatBytes(int64_t bytes) {
    if (bytes < 0) bytes = 0;
    char text[48];
    if (bytes < 1024) {
        std::snprintf(text, sizeof text, "%lld B", static_cast<long long>(bytes));
        return text;
    }
    static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB"};
    double value = static_cast<double>(bytes) / 1024;
    size_t unit = 0;
    // Compared after rounding to the one decimal shown, so 1048575 B is "1.0 MiB".
    while (unit + 1 < std::size(kUnits) && std::round(value * 10) >= 1024 * 10) {
        value /= 1024;
        ++unit;
    }
    std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

std::string FormatRate(double bytesPerSecond) {
    if (bytesPerSecond < 0 || !std::isfinite(bytesPerSecond)) return "--";
    return FormatBytes(std::llround(bytesPerSecond)) + "/s";
}

std::string FormatDuration(int64_t seconds) {
    constexpr int64_t kMinute = 60, kHour = 60 * kMinute, kDay = 24 * kHour;
    if (seconds < 0 || seconds >= 100 * kDay) return "--";
    char text[32];
    const auto n = [](int64_t v) { return static_cast<long long>(v); };
    if (seconds < kMinute) {
        std::snprintf(text, sizeof text, "%llds", n(seconds));
    } else if (seconds < kHour) {
        std::snprintf(text, sizeof text, "%lldm%02llds", n(seconds / kMinute),
                      n(seconds % kMinute));
    } else if (seconds < kDay) {
        std::snprintf(text, sizeof text, "%lldh%02lldm", n(seconds / kHour),
                      n(seconds % kHour / kMinute));
    } else {
        std::snprintf(text, sizeof text, "%lldd%02lldh", n(seconds / kDay),
                      n(seconds % kDay / kHour));
    }
    return text;
}
