#pragma once
// Pure parsing and formatting for the FTP conversation: reply framing, the size in SIZE and
// STAT replies, the PASV address, the PORT argument and the FTP-proxy user name. No sockets,
// no shared state: any thread may call them, and each FtpReplyReader belongs to one thread.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Largest reply we accept; a server that sends more is broken or hostile.
inline constexpr std::size_t kMaxFtpReplyBytes = 64 * 1024;

// Collects one FTP reply from chunks as they arrive, in any split. A single-line reply is
// complete when a chunk ends in CRLF; a multi-line one ("NNN-") needs in addition its closing
// line, CRLF + "NNN " (the same three characters and a space).
class FtpReplyReader {
public:
    enum class Status { NeedMore, Complete, TooLarge };

    // Appends a chunk. Once Complete or TooLarge, further chunks are ignored.
    Status Feed(std::string_view chunk);
    const std::string& Text() const { return text_; }
    // The decimal number at the start of the text (0 when there is none).
    int Code() const;

private:
    std::string text_;
    Status status_ = Status::NeedMore;
    bool markerFound_ = true;  // false while a multi-line reply's closing line is outstanding
    std::size_t searchFrom_ = 0;
};

// The decimal number at the start of a reply, as the server's code (0 when there is none).
int FtpReplyCode(const std::string& reply);

// The file size in a SIZE reply ("213 48213") when fromSizeReply, else in a STAT reply: a
// multi-line one carries a Unix listing line as its second line (permissions, links, owner,
// group, size...), a single-line one the code and then those fields. -1 when no size parses
// or the value is negative; the size must be a whole word of decimal digits.
int64_t ParseFtpSizeReply(const std::string& reply, bool fromSizeReply);

// The address and port of a 227 reply: in its last line, the text between the first "(" and
// the next ")" holds h1,h2,h3,h4,p1,p2. False when that text is missing or a number is out of
// range.
bool ParsePasvReply(const std::string& reply, std::string& address, int& port);

// The PORT command for a dotted-quad address and a port: "PORT h1,h2,h3,h4,p1,p2\r\n"
// (the dots become commas, then port / 256 and port % 256).
std::string FormatPortCommand(const std::string& localAddress, int port);

// The user name given to an FTP proxy: user@host, with ":port" when port is not 21.
std::string FtpProxyUser(const std::string& user, const std::string& host, int port);
