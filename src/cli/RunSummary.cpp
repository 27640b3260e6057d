#include "cli/RunSummary.h"

#include <algorithm>
#include <cstdio>

#include "cli/HumanUnits.h"

namespace {

// "0.03 s" under a second, "12.5 s" under a minute, "1m23s" above: always a figure that goes
// with the rate beside it.
std::string Elapsed(int64_t ms) {
    if (ms >= 60000) return FormatDuration(ms / 1000);
    char text[32];
    std::snprintf(text, sizeof text, ms < 1000 ? "%.2f s" : "%.1f s",
                  static_cast<double>(ms) / 1000.0);
    return text;
}

}  // namespace

std::string RunSummary(const RunFigures& f) {
    std::string line = "Saved " + f.file;
    if (!f.url.empty()) line += " from " + f.url;
    line += ": " + FormatBytes(f.fileSize);
    const int64_t fetched = std::clamp<int64_t>(f.fetched, 0, std::max<int64_t>(f.fileSize, 0));
    if (fetched < f.fileSize) line += " (" + FormatBytes(fetched) + " of it fetched now)";
    // The rate is what this run moved: resumed bytes took no time.
    const int64_t ms = std::max<int64_t>(f.elapsedMs, 1);
    line +=
        " in " + Elapsed(ms) + " (" + FormatRate(static_cast<double>(fetched) * 1000.0 / ms) + ")";
    return line;
}
