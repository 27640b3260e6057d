#include "forms/TextNumbers.h"

#include <climits>
#include <cstdint>

#include "net/AsciiText.h"

int LeadingInteger(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    std::string_view rest = std::string_view(text).substr(i);
    int64_t value = 0;
    // Saturates: more digits than fit read as the largest value.
    if (!TakeDigits(rest, value, int64_t{INT_MAX} + 1) && !rest.empty() && IsAsciiDigit(rest[0])) {
        value = int64_t{INT_MAX} + 1;
    }
    if (negative) return static_cast<int>(-value);
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}
