#include "engine/HttpParse.h"

#include <algorithm>
#include <cctype>
#include <limits>

namespace {

const char kTerminator[] = "\r\n\r\n";

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string Strip(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && (IsBlank(text[end - 1]) || text[end - 1] == '\r')) --end;
    return text.substr(begin, end - begin);
}

bool SameLetters(char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) ==
           std::tolower(static_cast<unsigned char>(b));
}

// Reads a run of decimal digits at pos into value; false when there is none or it overflows.
bool ReadNumber(const std::string& text, size_t& pos, int64_t& value) {
    size_t start = pos;
    value = 0;
    while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) {
        int digit = text[pos] - '0';
        if (value > (std::numeric_limits<int64_t>::max() - digit) / 10) return false;
        value = value * 10 + digit;
        ++pos;
    }
    return pos > start;
}

}  // namespace

HttpHeaderReader::State HttpHeaderReader::Feed(const char* data, size_t size) {
    if (state != State::NeedMore) return state;
    // The terminator may have begun in an earlier chunk: search from up to 3 bytes before it.
    size_t searchFrom = header.size() >= 3 ? header.size() - 3 : 0;
    header.append(data, size);
    size_t end = header.find(kTerminator, searchFrom);
    if (end == std::string::npos) {
        if (header.size() >= kMaxHeaderBytes) {
            state = State::TooLarge;
            header.clear();
        }
        return state;
    }
    size_t blockSize = end + 4;
    if (blockSize > kMaxHeaderBytes) {
        state = State::TooLarge;
        header.clear();
        return state;
    }
    leftover = header.substr(blockSize);
    header.resize(blockSize);
    state = State::Complete;
    return state;
}

int HttpStatusCode(const std::string& header) {
    size_t pos = header.find(' ');
    if (pos == std::string::npos) return -1;
    ++pos;
    int64_t value = 0;
    if (!ReadNumber(header, pos, value) || value > 999) return -1;
    return static_cast<int>(value);
}

bool HttpFieldValue(const std::string& header, const std::string& name, std::string& value) {
    // Field lines start after a line break; the status line is never a field.
    size_t lineStart = header.find('\n');
    while (lineStart != std::string::npos) {
        ++lineStart;
        size_t lineEnd = header.find('\n', lineStart);
        size_t lineLength = (lineEnd == std::string::npos ? header.size() : lineEnd) - lineStart;
        if (lineLength > name.size() && header[lineStart + name.size()] == ':' &&
            std::equal(name.begin(), name.end(), header.begin() + lineStart, SameLetters)) {
            value = Strip(header.substr(lineStart + name.size() + 1, lineLength - name.size() - 1));
            return true;
        }
        lineStart = lineEnd;
    }
    return false;
}

int64_t HttpContentLength(const std::string& header) {
    std::string value;
    if (!HttpFieldValue(header, "Content-Length", value)) return -1;
    size_t pos = 0;
    int64_t length = 0;
    if (!ReadNumber(value, pos, length) || pos != value.size()) return -1;
    return length;
}

int HttpRangeSupport(const std::string& header) {
    std::string value;
    if (!HttpFieldValue(header, "Accept-Ranges", value)) return 0;
    return value.compare(0, 4, "none") == 0 ? 0 : 1;
}

bool HttpParseContentRange(const std::string& header, HttpContentRange& range) {
    std::string value;
    if (!HttpFieldValue(header, "Content-Range", value)) return false;
    if (value.size() < 6 || !std::equal(value.begin(), value.begin() + 5, "bytes", SameLetters) ||
        !IsBlank(value[5])) {
        return false;
    }
    size_t pos = 6;
    while (pos < value.size() && IsBlank(value[pos])) ++pos;
    HttpContentRange parsed;
    if (!ReadNumber(value, pos, parsed.first) || pos >= value.size() || value[pos] != '-') {
        return false;
    }
    ++pos;
    if (!ReadNumber(value, pos, parsed.last) || pos >= value.size() || value[pos] != '/') {
        return false;
    }
    ++pos;
    if (pos < value.size() && value[pos] == '*') {
        ++pos;
    } else if (!ReadNumber(value, pos, parsed.total)) {
        return false;
    }
    if (pos != value.size() || parsed.last < parsed.first) return false;
    range = parsed;
    return true;
}
