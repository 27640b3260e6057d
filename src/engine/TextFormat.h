#pragma once
// printf-style formatting into a std::string, for the engine's protocol lines and log texts.
// Pure function, any thread.
#include <cstdint>
#include <string>

std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A command as the log shows it: the password of a PASS command and the credentials of an
// Authorization or Proxy-Authorization line replaced by "***", so no log page or -v output
// ever holds a password.
std::string WithoutSecrets(const std::string& command);

// A 64-bit count for "%lld".
inline long long AsLong(int64_t value) {
    return static_cast<long long>(value);
}
