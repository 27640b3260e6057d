#include "engine/FtpParse.h"

#include <cctype>
#include <cstdio>
#include <limits>

#include "net/AsciiText.h"

namespace {

bool IsSpace(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

void SkipSpaces(std::string_view& s) {
    while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
}

// Like scanf's "%d" on 64 bits: skips white space, takes an optional sign and at least one
// digit. False (input untouched) when there is no number or it does not fit.
bool ScanInt64(std::string_view& s, int64_t& value) {
    std::string_view rest = s;
    SkipSpaces(rest);
    bool negative = false;
    if (!rest.empty() && (rest.front() == '+' || rest.front() == '-')) {
        negative = rest.front() == '-';
        rest.remove_prefix(1);
    }
    int64_t v = 0;
    if (!TakeDigits(rest, v)) return false;
    value = negative ? -v : v;
    s = rest;
    return true;
}

// Like scanf's "%s": skips white space and takes the following non-space run.
bool ScanWord(std::string_view& s) {
    SkipSpaces(s);
    if (s.empty()) return false;
    while (!s.empty() && !IsSpace(s.front())) s.remove_prefix(1);
    return true;
}

// A size: the next word, all of it decimal digits (no sign, no separators, no fraction) and
// within 64 bits. "300,007" or "100002.5" is not a size, not 300 or 100002.
bool ScanSize(std::string_view& s, int64_t& value) {
    std::string_view rest = s;
    SkipSpaces(rest);
    std::size_t length = 0;
    while (length < rest.size() && !IsSpace(rest[length])) ++length;
    std::string_view word = rest.substr(0, length);
    if (!TakeDigits(word, value) || !word.empty()) return false;
    s = rest.substr(length);
    return true;
}

// One number 0..255 of a PASV tuple, white space around it allowed.
bool ParseByte(std::string_view s, int& value) {
    while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
    int64_t v = 0;
    if (s.size() > 3 || !TakeDigits(s, v, 255) || !s.empty()) return false;
    value = static_cast<int>(v);
    return true;
}

}  // namespace

FtpReplyReader::Status FtpReplyReader::Feed(std::string_view chunk) {
    if (status_ != Status::NeedMore) return status_;
    const bool wasShort = text_.size() < 4;
    text_.append(chunk);
    if (text_.size() > kMaxFtpReplyBytes) {
        status_ = Status::TooLarge;
        return status_;
    }
    // The form is known once four characters are in; "NNN-" opens a multi-line reply.
    if (wasShort && text_.size() >= 4 && text_[3] == '-') {
        markerFound_ = false;
        searchFrom_ = 0;
    }
    if (!markerFound_) {
        const std::string marker = "\r\n" + text_.substr(0, 3) + " ";
        std::size_t at = text_.find(marker, searchFrom_);
        if (at != std::string::npos) {
            markerFound_ = true;
        } else if (text_.size() >= marker.size()) {
            // The marker may straddle this chunk and the next one.
            searchFrom_ = text_.size() - marker.size() + 1;
        }
    }
    const bool endsLine = text_.size() >= 2 && text_.compare(text_.size() - 2, 2, "\r\n") == 0;
    if (endsLine && markerFound_) status_ = Status::Complete;
    return status_;
}

int FtpReplyReader::Code() const {
    return FtpReplyCode(text_);
}

int FtpReplyCode(const std::string& reply) {
    std::string_view s = reply;
    int64_t value = 0;
    if (!ScanInt64(s, value)) return 0;
    // Anything beyond three digits is not a reply code; keep it a failure, never an overflow.
    if (value > 999999) return 999999;
    if (value < -999999) return -999999;
    return static_cast<int>(value);
}

int64_t ParseFtpSizeReply(const std::string& reply, bool fromSizeReply) {
    std::string_view s = reply;
    int64_t code = 0;
    int64_t size = -1;
    if (fromSizeReply) {
        // "213 48213"
        if (!ScanInt64(s, code) || !ScanSize(s, size)) return -1;
    } else if (reply.size() >= 4 && reply[3] == '-') {
        // Multi-line STAT: the second line is a listing line
        // "-rw-r--r--   1 owner group 48213 Jan 01 00:00 name" (proftpd indents it).
        std::size_t lineEnd = reply.find("\r\n");
        if (lineEnd == std::string::npos) return -1;
        s.remove_prefix(lineEnd + 2);
        int64_t links = 0;
        if (!ScanWord(s) || !ScanInt64(s, links) || !ScanWord(s) || !ScanWord(s) ||
            !ScanSize(s, size)) {
            return -1;
        }
    } else {
        // Single-line STAT: "213 -rw-r--r-- 1 owner group 48213 ..."
        int64_t links = 0;
        if (!ScanInt64(s, code) || !ScanWord(s) || !ScanInt64(s, links) || !ScanWord(s) ||
            !ScanWord(s) || !ScanSize(s, size)) {
            return -1;
        }
    }
    return size < 0 ? -1 : size;
}

bool ParsePasvReply(const std::string& reply, std::string& address, int& port) {
    // Only the closing line of a multi-line reply is the answer; the lines before it are
    // free text and may hold anything, a decoy address included.
    std::size_t lastLine = 0;
    if (reply.size() >= 4 && reply[3] == '-') {
        const std::size_t closing = reply.rfind("\n" + reply.substr(0, 3) + " ");
        if (closing == std::string::npos) return false;
        lastLine = closing + 1;
    }
    std::size_t open = reply.find('(', lastLine);
    if (open == std::string::npos) return false;
    std::size_t close = reply.find(')', open + 1);
    if (close == std::string::npos) return false;
    std::string_view inner(reply.data() + open + 1, close - open - 1);

    int values[6] = {};
    for (int i = 0; i < 6; ++i) {
        std::size_t comma = inner.find(',');
        if ((i < 5) != (comma != std::string_view::npos)) return false;
        std::string_view field = i < 5 ? inner.substr(0, comma) : inner;
        if (!ParseByte(field, values[i])) return false;
        if (i < 5) inner.remove_prefix(comma + 1);
    }
    int p = values[4] * 256 + values[5];
    if (p < 1) return false;
    // Written back in plain decimal: a zero-padded part would read as octal to inet_addr.
    char text[16];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", values[0], values[1], values[2], values[3]);
    address = text;
    port = p;
    return true;
}

std::string FormatPortCommand(const std::string& localAddress, int port) {
    std::string hosts = localAddress;
    for (char& c : hosts) {
        if (c == '.') c = ',';
    }
    return "PORT " + hosts + "," + std::to_string(port / 256) + "," + std::to_string(port % 256) +
           "\r\n";
}

std::string FtpProxyUser(const std::string& user, const std::string& host, int port) {
    std::string result = user + "@" + host;
    if (port != 21) result += ":" + std::to_string(port);
    return result;
}
