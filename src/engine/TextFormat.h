#pragma once
// printf-style formatting into a std::string, for the engine's protocol lines and log texts.
// Pure function, any thread.
#include <cstdint>
#include <string>

std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A 64-bit count for "%lld".
inline long long AsLong(int64_t value) {
    return static_cast<long long>(value);
}
