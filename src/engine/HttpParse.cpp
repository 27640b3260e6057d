#include "engine/HttpParse.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <utility>
#include <vector>

#include "net/AsciiText.h"
#include "net/WInternet.h"

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// The value of a header line without its blanks and line end.
std::string Strip(const std::string& text) {
    return std::string(TrimAscii(text, " \t", " \t\r"));
}

bool SameLetters(char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) ==
           std::tolower(static_cast<unsigned char>(b));
}

// Reads a run of decimal digits at pos into value; false when there is none or it overflows.
bool ReadNumber(const std::string& text, size_t& pos, int64_t& value) {
    std::string_view rest = std::string_view(text).substr(std::min(pos, text.size()));
    if (!TakeDigits(rest, value)) return false;
    pos = text.size() - rest.size();
    return true;
}

}  // namespace

size_t HttpHeaderEnd(const std::string& text, size_t from) {
    // An empty line is a line feed followed by an optional carriage return and a line feed;
    // the earliest one ends the block, whichever line ends the server uses.
    for (size_t at = text.find('\n', from); at != std::string::npos; at = text.find('\n', at + 1)) {
        if (at + 1 < text.size() && text[at + 1] == '\n') return at + 2;
        if (at + 2 < text.size() && text[at + 1] == '\r' && text[at + 2] == '\n') return at + 3;
    }
    return std::string::npos;
}

HttpHeaderReader::State HttpHeaderReader::Feed(const char* data, size_t size) {
    if (state != State::NeedMore) return state;
    // The empty line may have begun in an earlier chunk: search from up to 2 bytes before it.
    size_t searchFrom = header.size() >= 2 ? header.size() - 2 : 0;
    header.append(data, size);
    size_t blockSize = HttpHeaderEnd(header, searchFrom);
    if (blockSize == std::string::npos) {
        if (header.size() >= kMaxHeaderBytes) {
            state = State::TooLarge;
            header.clear();
        }
        return state;
    }
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

namespace {

// Calls take(value) for each field line named `name` (without regard to case), in order,
// until take returns false.
template <class Take>
void ForEachField(const std::string& header, const std::string& name, Take take) {
    // Field lines start after a line break; the status line is never a field.
    size_t lineStart = header.find('\n');
    while (lineStart != std::string::npos) {
        ++lineStart;
        size_t lineEnd = header.find('\n', lineStart);
        size_t lineLength = (lineEnd == std::string::npos ? header.size() : lineEnd) - lineStart;
        if (lineLength > name.size() && header[lineStart + name.size()] == ':' &&
            std::equal(name.begin(), name.end(), header.begin() + lineStart, SameLetters)) {
            if (!take(Strip(
                    header.substr(lineStart + name.size() + 1, lineLength - name.size() - 1)))) {
                return;
            }
        }
        lineStart = lineEnd;
    }
}

}  // namespace

bool HttpFieldValue(const std::string& header, const std::string& name, std::string& value) {
    bool found = false;
    ForEachField(header, name, [&](std::string v) {
        value = std::move(v);
        found = true;
        return false;
    });
    return found;
}

bool HttpFieldValues(const std::string& header, const std::string& name,
                     std::vector<std::string>& values) {
    values.clear();
    ForEachField(header, name, [&](std::string v) {
        values.push_back(std::move(v));
        return true;
    });
    return !values.empty();
}

std::string HttpAmbiguousFieldLine(const std::string& header) {
    size_t lineStart = header.find('\n');
    while (lineStart != std::string::npos && ++lineStart < header.size()) {
        size_t lineEnd = header.find('\n', lineStart);
        if (lineEnd == std::string::npos) lineEnd = header.size();
        std::string line = header.substr(lineStart, lineEnd - lineStart);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) break;  // the empty line ending the block
        const size_t colon = line.find(':');
        if (IsBlank(line.front()) ||
            (colon != std::string::npos && colon > 0 && IsBlank(line[colon - 1]))) {
            return line;
        }
        lineStart = lineEnd;
    }
    return "";
}

bool HttpTransferCodings(const std::string& header, std::string& codings) {
    std::vector<std::string> fields;
    if (!HttpFieldValues(header, "Transfer-Encoding", fields)) return false;
    codings.clear();
    for (const std::string& field : fields) {
        if (!codings.empty()) codings += ", ";
        codings += field;
    }
    return true;
}

bool HttpCodingsAreChunked(const std::string& codings) {
    return EqualsNoCase(Strip(codings), "chunked");
}

namespace {

// The Content-Length items of the block (each line, and each item of a "5, 5" list) as
// numbers, -1 for one that is not a plain decimal number within 64 bits.
std::vector<int64_t> ContentLengthItems(const std::string& header) {
    std::vector<int64_t> items;
    std::vector<std::string> lines;
    HttpFieldValues(header, "Content-Length", lines);
    for (const std::string& line : lines) {
        size_t itemStart = 0;
        for (;;) {
            size_t comma = line.find(',', itemStart);
            std::string item = Strip(line.substr(itemStart, comma - itemStart));
            size_t pos = 0;
            int64_t value = 0;
            items.push_back(ReadNumber(item, pos, value) && pos == item.size() ? value : -1);
            if (comma == std::string::npos) break;
            itemStart = comma + 1;
        }
    }
    return items;
}

}  // namespace

int64_t HttpContentLength(const std::string& header) {
    // Every item must give the same number: two different lengths leave no way to tell
    // which one frames the body.
    const std::vector<int64_t> items = ContentLengthItems(header);
    if (items.empty()) return -1;
    for (int64_t item : items) {
        if (item < 0 || item != items.front()) return -1;
    }
    return items.front();
}

bool HttpContentLengthsDisagree(const std::string& header) {
    int64_t seen = -1;
    for (int64_t item : ContentLengthItems(header)) {
        if (item < 0) continue;
        if (seen >= 0 && item != seen) return true;
        seen = item;
    }
    return false;
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

std::string HttpDispositionFilename(const std::string& header) {
    std::string field;
    if (!HttpFieldValue(header, "Content-Disposition", field)) return "";
    std::string plain, extended;
    // Parameters after the type: name=value pairs split at ";" outside quotes.
    size_t at = field.find(';');
    while (at != std::string::npos && at < field.size()) {
        ++at;
        while (at < field.size() && (field[at] == ' ' || field[at] == '\t')) ++at;
        const size_t equals = field.find('=', at);
        if (equals == std::string::npos) break;
        std::string name(TrimAscii(field.substr(at, equals - at)));
        for (char& c : name) c = AsciiLower(c);
        std::string value;
        size_t next = equals + 1;
        while (next < field.size() && (field[next] == ' ' || field[next] == '\t')) ++next;
        if (next < field.size() && field[next] == '"') {
            for (++next; next < field.size() && field[next] != '"'; ++next) {
                if (field[next] == '\\' && next + 1 < field.size()) ++next;
                value += field[next];
            }
            next = field.find(';', next);
        } else {
            const size_t end = field.find(';', next);
            value = std::string(TrimAscii(field.substr(next, end - next)));
            next = end;
        }
        if (name == "filename") plain = value;
        if (name == "filename*") {
            // charset'language'encoded: the name is the part after the second quote.
            const size_t quote = value.find('\'', value.find('\'') + 1);
            if (value.find('\'') != std::string::npos && quote != std::string::npos) {
                extended = WInternet::PercentDecode(value.substr(quote + 1));
            }
        }
        at = next;
    }
    return extended.empty() ? plain : extended;
}
