#pragma once
// Sizes, rates and durations as brindle-get's live display shows them: binary units with one
// decimal ("12.3 MiB"), bytes per second ("1.2 MiB/s") and a time left ("1m23s", "2h05m").
#include <cstdint>
#include <string>

// "512 B" below 1 KiB, else KiB, MiB or GiB with one decimal; the unit is the largest whose
// rounded value stays under 1024 ("1.0 MiB", not "1024.0 KiB"). Negative counts show as 0 B.
std::string FormatBytes(int64_t bytes);
// FormatBytes of the rounded rate followed by "/s"; "--" for a negative (unknown) rate.
std::string FormatRate(double bytesPerSecond);
// "45s", "1m23s", "2h05m", "3d04h"; "--" for a negative (unknown) count or one of 100 days
// or more, which tells nothing.
std::string FormatDuration(int64_t seconds);
