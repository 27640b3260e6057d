// Fuzz target for the value parsers of FTP replies: the input is one reply text, read as a SIZE
// reply, as a STAT reply and as a PASV reply. A size is -1 or not negative and agrees with what
// sscanf reads from the same text; a PASV port is 1..65535, the address a plain dotted quad, and
// the pair survives the trip through the PORT command's form. A refused PASV reply leaves the
// outputs untouched.
#include <cctype>
#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "engine/FtpParse.h"

namespace {

// sscanf stops at a NUL and saturates on overflow, where the parser sees the whole text and
// refuses: compare only texts where both read the same thing.
bool ScanfComparable(const std::string& text) {
    if (text.find('\0') != std::string::npos) return false;
    size_t run = 0;
    for (char c : text) {
        run = (c >= '0' && c <= '9') ? run + 1 : 0;
        if (run >= 19) return false;
    }
    return true;
}

int64_t SizeByScanf(const std::string& reply, bool fromSizeReply) {
    long long code = 0, links = 0, size = -1;
    char word[3][4096];
    if (reply.size() >= sizeof word[0]) return -2;  // a word might not fit: no opinion
    // %n around the size: sscanf takes a sign and a digit prefix, a size is a whole word of
    // digits, so the oracle checks the word itself.
    int from = -1, to = -1;
    const char* text = reply.c_str();
    bool matched = false;
    if (fromSizeReply) {
        matched = std::sscanf(text, "%lld %n%lld%n", &code, &from, &size, &to) == 2;
    } else if (reply.size() >= 4 && reply[3] == '-') {
        const size_t lineEnd = reply.find("\r\n");
        if (lineEnd == std::string::npos) return -1;
        text += lineEnd + 2;
        matched = std::sscanf(text, "%s %lld %s %s %n%lld%n", word[0], &links, word[1], word[2],
                              &from, &size, &to) == 5;
    } else {
        matched = std::sscanf(text, "%lld %s %lld %s %s %n%lld%n", &code, word[0], &links, word[1],
                              word[2], &from, &size, &to) == 6;
    }
    if (!matched || from < 0 || to < 0) return -1;
    for (int i = from; i < to; ++i) {
        if (text[i] < '0' || text[i] > '9') return -1;
    }
    if (text[to] != '\0' && !std::isspace(static_cast<unsigned char>(text[to]))) return -1;
    return size < 0 ? -1 : size;
}

bool IsPlainByte(const std::string& text) {
    if (text.empty() || text.size() > 3) return false;
    if (text.size() > 1 && text[0] == '0') return false;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return value <= 255;
}

bool IsDottedQuad(const std::string& address) {
    size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        const size_t dot = address.find('.', start);
        if ((i < 3) != (dot != std::string::npos)) return false;
        const size_t end = i < 3 ? dot : address.size();
        if (!IsPlainByte(address.substr(start, end - start))) return false;
        start = end + 1;
    }
    return true;
}

void CheckPasv(const std::string& reply) {
    std::string address = "\001untouched";
    int port = -7;
    if (!ParsePasvReply(reply, address, port)) {
        FUZZ_CHECK(address == "\001untouched" && port == -7);
        return;
    }
    FUZZ_CHECK(port >= 1 && port <= 65535);
    FUZZ_CHECK(IsDottedQuad(address));

    // Our own PORT argument for that pair, read back as a PASV tuple, gives the same pair.
    const std::string command = FormatPortCommand(address, port);
    FUZZ_CHECK(command.compare(0, 5, "PORT ") == 0);
    FUZZ_CHECK(command.size() >= 7 && command.compare(command.size() - 2, 2, "\r\n") == 0);
    const std::string tuple = command.substr(5, command.size() - 7);
    std::string address2;
    int port2 = 0;
    FUZZ_CHECK(ParsePasvReply("227 Entering Passive Mode (" + tuple + ")", address2, port2));
    FUZZ_CHECK(address2 == address && port2 == port);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string reply(reinterpret_cast<const char*>(data), size);

    const int code = FtpReplyCode(reply);
    FUZZ_CHECK(code >= -999999 && code <= 999999);

    const bool comparable = ScanfComparable(reply);
    for (bool fromSizeReply : {true, false}) {
        const int64_t parsed = ParseFtpSizeReply(reply, fromSizeReply);
        FUZZ_CHECK(parsed >= -1);
        if (comparable) {
            const int64_t expected = SizeByScanf(reply, fromSizeReply);
            FUZZ_CHECK(expected == -2 || parsed == expected);
        }
    }

    CheckPasv(reply);
    return 0;
}
