// Fuzz target for the HTTP header reader, fed the input's stream in the chunks the input chooses
// (layout in FuzzSupport.h). Whatever the split, the result is the one computed from the whole
// stream: the block up to the first empty line (LF LF or LF CR LF) when it fits in 64 KiB,
// TooLarge when it does not.
// Header + Leftover is exactly the bytes fed up to the completing chunk (none lost, none
// doubled), and chunks after the end change nothing. The field parsers then run on the block.
#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "engine/HttpParse.h"

namespace {

using State = HttpHeaderReader::State;
constexpr size_t kMax = HttpHeaderReader::kMaxHeaderBytes;

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

void CheckFields(const std::string& header) {
    const int status = HttpStatusCode(header);
    FUZZ_CHECK(status >= -1 && status <= 999);

    std::string value;
    std::vector<std::string> values;
    HttpFieldValues(header, "Content-Length", values);
    if (values.size() == 1 && values[0].find(',') == std::string::npos) {
        FUZZ_CHECK(HttpFieldValue(header, "Content-Length", value) && value == values[0]);
        FUZZ_CHECK(value.find('\n') == std::string::npos);
        FUZZ_CHECK(value.empty() ||
                   (!IsBlank(value.front()) && !IsBlank(value.back()) && value.back() != '\r'));
        // A plain decimal number that fits, and nothing else, is a length.
        int64_t expected = -1;
        int64_t number = 0;
        const char* end = value.data() + value.size();
        const auto [ptr, ec] = std::from_chars(value.data(), end, number);
        if (!value.empty() && value[0] != '-' && ec == std::errc() && ptr == end) {
            expected = number;
        }
        FUZZ_CHECK(HttpContentLength(header) == expected);
    } else if (values.empty()) {
        FUZZ_CHECK(HttpContentLength(header) == -1);
    } else {
        // Several lengths (or a list) give one only when they all agree.
        FUZZ_CHECK(HttpContentLength(header) >= -1);
        if (HttpContentLengthsDisagree(header)) FUZZ_CHECK(HttpContentLength(header) == -1);
    }

    // An ambiguous line is one of the block's own lines; a lone chunked is one item.
    const std::string ambiguous = HttpAmbiguousFieldLine(header);
    FUZZ_CHECK(ambiguous.find('\n') == std::string::npos);
    FUZZ_CHECK(ambiguous.empty() || header.find("\n" + ambiguous) != std::string::npos);
    std::string codings;
    if (HttpTransferCodings(header, codings) && HttpCodingsAreChunked(codings)) {
        FUZZ_CHECK(codings.find(',') == std::string::npos);
    }

    // A suggested name comes out of the block's own bytes: unquoted or decoded, never longer.
    FUZZ_CHECK(HttpDispositionFilename(header).size() <= header.size());

    const int ranges = HttpRangeSupport(header);
    FUZZ_CHECK(ranges == 0 || ranges == 1);

    HttpContentRange range;
    range.first = -7;
    if (HttpParseContentRange(header, range)) {
        FUZZ_CHECK(range.first >= 0 && range.last >= range.first && range.total >= -1);
    } else {
        FUZZ_CHECK(range.first == -7);
    }
}

// What the whole stream must give, whatever the split.
struct Outcome {
    State state = State::NeedMore;
    size_t headerSize = 0;
};

Outcome Expected(const std::string& stream) {
    const size_t bare = stream.find("\n\n");
    const size_t crlf = stream.find("\n\r\n");
    const size_t end = std::min(bare == std::string::npos ? bare : bare + 2,
                                crlf == std::string::npos ? crlf : crlf + 3);
    if (end == std::string::npos) {
        return {stream.size() >= kMax ? State::TooLarge : State::NeedMore, 0};
    }
    if (end > kMax) return {State::TooLarge, 0};
    return {State::Complete, end};
}

// Feeds the chunks and checks each step; returns how many bytes went in until the reader left
// NeedMore (all of them if it never did).
size_t FeedAll(HttpHeaderReader& reader, const std::vector<std::string_view>& chunks,
               const Outcome& expected) {
    size_t fed = 0;
    for (std::string_view chunk : chunks) {
        const State before = reader.GetState();
        const size_t headerSize = reader.Header().size();
        const size_t leftoverSize = reader.Leftover().size();
        const State state = reader.Feed(chunk.data(), chunk.size());
        FUZZ_CHECK(state == reader.GetState());
        if (before != State::NeedMore) {
            FUZZ_CHECK(state == before);
            FUZZ_CHECK(reader.Header().size() == headerSize);
            FUZZ_CHECK(reader.Leftover().size() == leftoverSize);
            continue;
        }
        fed += chunk.size();
        if (state == State::Complete) {
            // The chunk that completes the block holds its last byte.
            FUZZ_CHECK(fed >= expected.headerSize && fed - chunk.size() < expected.headerSize);
        }
    }
    return fed;
}

void CheckResult(const HttpHeaderReader& reader, const std::string& stream, size_t fed,
                 const Outcome& expected) {
    FUZZ_CHECK(reader.GetState() == expected.state);
    if (expected.state != State::Complete) return;
    const std::string& header = reader.Header();
    FUZZ_CHECK(header.size() == expected.headerSize);
    FUZZ_CHECK(header.size() <= kMax);
    FUZZ_CHECK(HttpHeaderEnd(header) == header.size());
    FUZZ_CHECK(header.size() + reader.Leftover().size() == fed);
    FUZZ_CHECK(std::string_view(stream).substr(0, fed) == header + reader.Leftover());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const ChunkedInput in(data, size);
    const std::string& stream = in.stream;
    const Outcome expected = Expected(stream);

    HttpHeaderReader split;
    const size_t fed = FeedAll(split, in.chunks, expected);
    CheckResult(split, stream, fed, expected);

    HttpHeaderReader whole;
    whole.Feed(stream.data(), stream.size());
    CheckResult(whole, stream, stream.size(), expected);

    if (stream.size() <= 4096) {
        std::vector<std::string_view> bytes;
        for (size_t i = 0; i < stream.size(); ++i) {
            bytes.push_back(std::string_view(stream).substr(i, 1));
        }
        HttpHeaderReader byByte;
        const size_t fedBytes = FeedAll(byByte, bytes, expected);
        CheckResult(byByte, stream, fedBytes, expected);
    }

    if (expected.state == State::Complete) {
        CheckFields(split.Header());
    } else if (stream.size() <= 8192) {
        CheckFields(stream);  // the field parsers also see text without an end
    }
    return 0;
}
