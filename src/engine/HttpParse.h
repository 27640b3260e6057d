#pragma once
// Parsing of HTTP/1.0 response header blocks, free of sockets so it can be tested and fuzzed
// on its own: an incremental reader that finds the end of the block in chunks of any size,
// and the fields the engine reads (status, Content-Length, Accept-Ranges, Content-Range).
// Pure code: any thread, one reader object per connection.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Collects a header block from the chunks of successive reads. The block ends at the first
// empty line (CR LF CR LF, or LF LF from servers that end lines with LF alone, as the field
// parsers accept), which may be split across chunks anywhere. Bytes after the block
// in the same chunk are the start of the body (Leftover).
class HttpHeaderReader {
public:
    // Larger header blocks are refused: a peer cannot make us buffer without end.
    static constexpr size_t kMaxHeaderBytes = 64 * 1024;

    enum class State { NeedMore, Complete, TooLarge };

    // Adds one chunk. Once Complete or TooLarge, further chunks are ignored.
    State Feed(const char* data, size_t size);
    State GetState() const { return state; }
    // The block up to and including its empty line (valid when Complete).
    const std::string& Header() const { return header; }
    // Body bytes that came in the chunk that completed the block.
    const std::string& Leftover() const { return leftover; }

private:
    State state = State::NeedMore;
    std::string header;
    std::string leftover;
};

// The decimal number after the first space of the block (206 for "HTTP/1.1 206 Partial
// Content"); -1 when there is none.
int HttpStatusCode(const std::string& header);

// The value of a field, found by name without regard to case at the start of a line, with the
// blanks around it stripped; false when the block has no such field.
bool HttpFieldValue(const std::string& header, const std::string& name, std::string& value);

// Every field of that name, in order; false when there is none.
bool HttpFieldValues(const std::string& header, const std::string& name,
                     std::vector<std::string>& values);

// The first field line of the block that peers would read in different ways: a name followed
// by blanks before its colon ("Transfer-Encoding : chunked", which some peers take for the
// field and others ignore), or a line starting with a blank (an obsolete continuation of the
// field before). "" when there is none; the line without its line end otherwise.
std::string HttpAmbiguousFieldLine(const std::string& header);

// Every Transfer-Encoding field of the block joined into one list, in order ("chunked" then
// "gzip" give "chunked, gzip"); false when the block has none.
bool HttpTransferCodings(const std::string& header, std::string& codings);

// True when a coding list is exactly one "chunked" (any case, blanks around it): the only
// framing the engine decodes. Anything else ("gzip, chunked", "chunked, chunked", "identity",
// an empty item) is not.
bool HttpCodingsAreChunked(const std::string& codings);

// Offset just past the first empty line (LF LF or LF CR LF) at or after `from`; npos when
// there is none yet.
size_t HttpHeaderEnd(const std::string& text, size_t from = 0);

// Content-Length as a non-negative number; -1 when absent, negative, not a plain decimal
// number, too large for 64 bits, or when several Content-Length values differ.
int64_t HttpContentLength(const std::string& header);
// True when two Content-Length values of the block are numbers that differ.
bool HttpContentLengthsDisagree(const std::string& header);

// Byte-range support: 0 when Accept-Ranges is missing or its value begins with "none"
// (compared with case), else 1.
int HttpRangeSupport(const std::string& header);

// "Content-Range: bytes first-last/total" (total may be "*"); false when the field is missing
// or malformed.
struct HttpContentRange {
    int64_t first = -1;
    int64_t last = -1;
    int64_t total = -1;  // -1 for "*"
};
bool HttpParseContentRange(const std::string& header, HttpContentRange& range);

// The file name a Content-Disposition field suggests, as the server wrote it: the value of
// "filename*" (RFC 5987 form, "UTF-8''a%20b.bin", percent-decoded) when there is one, else of
// "filename" (a quoted string unquoted, or a token). "" when the block has no such parameter.
// Nothing is checked here: the name may hold a path, "..", or any byte.
std::string HttpDispositionFilename(const std::string& header);
