#pragma once
// Locale-free ASCII helpers for protocol and file texts (URL schemes, INI names): the user's
// locale must never change how a name compares.
#include <cstddef>
#include <cstdint>
#include <string_view>

inline char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// s without the characters of `front` at its front and of `back` at its back.
inline std::string_view TrimAscii(std::string_view s, std::string_view front,
                                  std::string_view back) {
    while (!s.empty() && front.find(s.front()) != std::string_view::npos) s.remove_prefix(1);
    while (!s.empty() && back.find(s.back()) != std::string_view::npos) s.remove_suffix(1);
    return s;
}

// White space as the C library's isspace sees it in the C locale.
inline constexpr std::string_view kAsciiSpace = " \t\r\n\v\f";

inline std::string_view TrimAscii(std::string_view s, std::string_view chars = kAsciiSpace) {
    return TrimAscii(s, chars, chars);
}

inline bool IsAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}

// Takes the decimal digits at the front of s (no sign) into value. False, with s left as it
// was, when s does not start with a digit or the number is above max.
inline bool TakeDigits(std::string_view& s, int64_t& value, int64_t max = INT64_MAX) {
    size_t n = 0;
    int64_t v = 0;
    for (; n < s.size() && IsAsciiDigit(s[n]); ++n) {
        const int digit = s[n] - '0';
        if (v > (max - digit) / 10) return false;
        v = v * 10 + digit;
    }
    if (n == 0) return false;
    value = v;
    s.remove_prefix(n);
    return true;
}

inline bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    }
    return true;
}

// A byte below 0x20 or DEL: never part of a name, a password or a URL we send.
inline bool HasControlChar(std::string_view s) {
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) return true;
    }
    return false;
}
